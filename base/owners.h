// base/owners.h: owners for the system's handles, and the one way the program's operations answer.
//
// How an operation answers, in every folder of the program. None throws, shows anything or ends the
// program for a failed system operation (the fatal report, base/fatal.h, is for faults of the frame).
// - An operation that can fail answers [[nodiscard]] bool: true when it did what it says; false with
//   GetLastError saying why. One that reads facts fills one record the caller hands it (FileFacts, a
//   path in a WideText, a ProcessList) and answers that bool, so a failure never reads as a fact.
// - An operation that makes or takes something answers an owner that may be empty: a handle owner
//   below, a HeldFolder, a Text, WideText or ByteArray. Empty (absent, for a text) means it failed,
//   with GetLastError saying why.
// - A look-up of something that may simply not be there, which is no failure, answers a borrowed
//   handle or pointer, null for "none" (a component's window, a folder of a HeldWay).
// - The routines whose results are part of the program's fixed contract keep them: Extract's three
//   results (named in payload/zip_component.h), the empty Text of LookUpSpecialFolder and ToText,
//   CompareText's order, the exit codes.
// Helpers inside a folder follow the same rule, or answer a Win32 error code (0 = success) where their
// caller branches on the reason.
//
// Each owner knows its "none" value and its close call; all are move-only. Closing keeps GetLastError,
// so the reason for a failure survives clean-up. A pseudo-handle (GetCurrentProcess()) never goes into
// an owner.
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
