// Move-only owners for platform handles: each closes what it holds exactly once, on every
// return path, and never converts silently to the raw handle.
#pragma once

#include <windows.h>
#include <wininet.h>

namespace kv {

// Traits give the handle type, its empty value and how it is closed.
template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() = default;
    explicit UniqueHandle(Type h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Type get() const { return h_; }
    explicit operator bool() const { return h_ != Traits::Empty(); }

    // Gives up ownership without closing.
    Type release() {
        Type h = h_;
        h_ = Traits::Empty();
        return h;
    }

    // Closes what is held and takes h. Keeps the caller's last error: the close must not hide
    // the failure that made the caller give the handle up.
    void reset(Type h = Traits::Empty()) {
        if (h_ != Traits::Empty()) {
            DWORD err = ::GetLastError();
            Traits::Close(h_);
            ::SetLastError(err);
        }
        h_ = h;
    }

    // For out-parameters of platform calls; closes what was held first.
    Type* put() {
        reset();
        return &h_;
    }

private:
    Type h_ = Traits::Empty();
};

#define KV_HANDLE_TRAITS(NAME, TYPE, EMPTY, CLOSE)          \
    struct NAME {                                           \
        using Type = TYPE;                                  \
        static Type Empty() { return EMPTY; }               \
        static void Close(Type h) { CLOSE(h); }             \
    }

KV_HANDLE_TRAITS(KernelHandleTraits, HANDLE, nullptr, ::CloseHandle);
KV_HANDLE_TRAITS(FileHandleTraits, HANDLE, INVALID_HANDLE_VALUE, ::CloseHandle);
KV_HANDLE_TRAITS(RegKeyTraits, HKEY, nullptr, ::RegCloseKey);
KV_HANDLE_TRAITS(InternetTraits, HINTERNET, nullptr, ::InternetCloseHandle);
KV_HANDLE_TRAITS(ModuleTraits, HMODULE, nullptr, ::FreeLibrary);
KV_HANDLE_TRAITS(GdiObjectTraits, HGDIOBJ, nullptr, ::DeleteObject);
KV_HANDLE_TRAITS(MemoryDCTraits, HDC, nullptr, ::DeleteDC);
#undef KV_HANDLE_TRAITS

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueInternet = UniqueHandle<InternetTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;
using UniqueMemoryDC = UniqueHandle<MemoryDCTraits>;

}  // namespace kv
