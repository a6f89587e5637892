// base/owners.h: owners for the system's handles. Each knows its "none" value and its close
// call; all are move-only. Closing keeps GetLastError, so the reason for a failure survives clean-up.
// A pseudo-handle (GetCurrentProcess()) never goes into an owner.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

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
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::None(); }

    Handle release() { return std::exchange(handle_, Traits::None()); }

    // Closes now and answers whether the close succeeded (for a file just written, where it matters).
    bool close() {
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

struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static BOOL Close(Handle h) { return CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static BOOL Close(Handle h) { return FindClose(h); }
};
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle None() { return nullptr; }
    static BOOL Close(Handle h) { return CloseHandle(h); }
};
struct ModuleHandleTraits {
    using Handle = HMODULE;
    static Handle None() { return nullptr; }
    static BOOL Close(Handle h) { return FreeLibrary(h); }
};

using FileHandle = Owner<FileHandleTraits>;          // CreateFileA
using FindHandle = Owner<FindHandleTraits>;          // FindFirstFileA
using SnapshotHandle = Owner<FileHandleTraits>;      // CreateToolhelp32Snapshot
using KernelHandle = Owner<KernelHandleTraits>;      // OpenProcess, CreateProcessA's two handles
using ModuleHandle = Owner<ModuleHandleTraits>;      // LoadLibraryA
