// One owner per handle: a movable, non-copyable wrapper that knows the close
// function and the invalid value of its kind of handle.
#pragma once

#include <windows.h>

namespace platform {

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type handle) : handle_(handle) {}
    ~Unique() { reset(); }

    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : handle_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }

    Type release() {
        Type handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // Closing keeps the thread's last error, so a caller can report the
    // failure that made it give up.
    void reset(Type handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid()) {
            DWORD lastError = GetLastError();
            Traits::Close(handle_);
            SetLastError(lastError);
        }
        handle_ = handle;
    }

    Type* put() {
        reset();
        return &handle_;
    }

private:
    Type handle_ = Traits::Invalid();
};

struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};

// Kernel objects whose "absent" value is null: threads, processes, tokens,
// mutexes, events.
struct HandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

struct KeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { LocalFree(h); }
};

// A directory search (FindFirstFileExW).
struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};

// An icon loaded at a size of our choosing (LoadImageW without LR_SHARED).
struct IconTraits {
    using Type = HICON;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DestroyIcon(h); }
};

// A memory device context (CreateCompatibleDC).
struct DcTraits {
    using Type = HDC;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteDC(h); }
};

// A GDI object of the program's own: a font, a bitmap, a brush.
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteObject(h); }
};

using UniqueFile = Unique<FileTraits>;
using UniqueHandle = Unique<HandleTraits>;
using UniqueKey = Unique<KeyTraits>;

// The registry view of every key the program reads or writes under HKLM: the
// one a 32-bit process sees on 64-bit Windows, where the product's 32-bit
// setup registers itself. The 32-bit build reaches it by redirection alone;
// the 64-bit build must name it. 32-bit Windows ignores the flag.
constexpr REGSAM ProgramRegistryView = KEY_WOW64_32KEY;
using UniqueLibrary = Unique<LibraryTraits>;
using UniqueLocalMemory = Unique<LocalMemoryTraits>;
using UniqueFind = Unique<FindTraits>;
using UniqueIcon = Unique<IconTraits>;
using UniqueMemoryDc = Unique<DcTraits>;
using UniqueGdiObject = Unique<GdiObjectTraits>;

// Runs a one-off clean-up when the scope ends, unless released first.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F action) : action_(action) {}
    ~ScopeExit() {
        if (active_) action_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void release() { active_ = false; }

private:
    F action_;
    bool active_ = true;
};

}  // namespace platform
