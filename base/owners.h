// base/owners.h: owners for the system's handles. Each knows its "none" value and its close
// call; all are move-only. Closing keeps GetLastError, so the reason for a failure survives clean-up.
// A pseudo-handle (GetCurrentProcess()) never goes into an owner.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <utility>

template <typename Traits>
class Owner {
public:
    using Handle = typename Traits::Handle;

    Owner() = default;
    explicit Owner(Handle handle) : handle_(handle) {}
    ~Owner() { reset(); }
    Owner(Owner&& other) noexcept : handle_(other.release()) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Traits::None());
        }
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    [[nodiscard]] Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::None(); }

    [[nodiscard]] Handle release() { return std::exchange(handle_, Traits::None()); }

    // Closes now and answers whether the close succeeded (for a file just written, where it matters).
    [[nodiscard]] bool close() {
        if (handle_ == Traits::None())
            return true;
        return Traits::Close(release()) != FALSE;
    }

    void reset(Handle handle = Traits::None()) {
        Handle old = std::exchange(handle_, handle);
        if (old != Traits::None()) {
            DWORD error = GetLastError();
            Traits::Close(old);
            SetLastError(error);
        }
    }

private:
    Handle handle_ = Traits::None();
};

// An owner's knowledge of its handle: the type, the "none" value and the system's close call.
template <typename H, std::intptr_t NoneValue, BOOL(WINAPI* CloseCall)(H)>
struct HandleTraits {
    using Handle = H;
    [[nodiscard]] static Handle None() { return reinterpret_cast<Handle>(NoneValue); }
    static BOOL Close(Handle h) { return CloseCall(h); }
};
inline constexpr std::intptr_t kInvalidHandle = -1;  // INVALID_HANDLE_VALUE, as a template argument
inline constexpr std::intptr_t kNullHandle = 0;

using FileHandle = Owner<HandleTraits<HANDLE, kInvalidHandle, CloseHandle>>;      // CreateFileA
using FindHandle = Owner<HandleTraits<HANDLE, kInvalidHandle, FindClose>>;        // FindFirstFileA
using SnapshotHandle = Owner<HandleTraits<HANDLE, kInvalidHandle, CloseHandle>>;  // CreateToolhelp32Snapshot
using KernelHandle = Owner<HandleTraits<HANDLE, kNullHandle, CloseHandle>>;       // OpenProcess, CreateProcessA's two
using ModuleHandle = Owner<HandleTraits<HMODULE, kNullHandle, FreeLibrary>>;      // LoadLibraryA
