// Owners of Win32 handles and COM references.
//
// One move-only template owns every kind of handle; the traits say what
// "none" is and how a handle is given back. Copying is forbidden: a copied
// owner would close twice. An owner closes its handle when it is destroyed,
// reset or assigned to, on every path, exceptions included.
//
// put() hands the address of the (emptied) slot to an API that returns a
// handle through an out-parameter, e.g. RegOpenKeyExW(..., key.put()).
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <unknwn.h>

template <class Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer h) noexcept : m_h(h) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    pointer get() const noexcept { return m_h; }
    explicit operator bool() const noexcept { return m_h != Traits::none(); }

    // Gives up ownership without closing.
    pointer release() noexcept {
        pointer h = m_h;
        m_h = Traits::none();
        return h;
    }

    void reset(pointer h = Traits::none()) noexcept {
        if (m_h != Traits::none()) Traits::close(m_h);
        m_h = h;
    }

    pointer* put() noexcept {
        reset();
        return &m_h;
    }

private:
    pointer m_h = Traits::none();
};

namespace HandleTraits {

// Kernel objects whose "none" is null: events, threads, processes, mutexes.
struct Kernel {
    using pointer = HANDLE;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::CloseHandle(h); }
};

// Kernel objects whose "none" is INVALID_HANDLE_VALUE: files, tool-help snapshots.
struct File {
    using pointer = HANDLE;
    static pointer none() { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) { ::CloseHandle(h); }
};

struct RegKey {
    using pointer = HKEY;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::RegCloseKey(h); }
};

// A GDI object (font, bitmap, brush, pen, region). It must not be selected
// into a device context when its owner lets it go.
template <class T>
struct GdiObject {
    using pointer = T;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::DeleteObject(h); }
};

// A device context made by CreateCompatibleDC / CreateDC (not one from GetDC or BeginPaint).
struct MemoryDC {
    using pointer = HDC;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::DeleteDC(h); }
};

struct Module {
    using pointer = HMODULE;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::FreeLibrary(h); }
};

// An icon made by CreateIcon / LoadImage without LR_SHARED.
struct Icon {
    using pointer = HICON;
    static pointer none() { return nullptr; }
    static void close(pointer h) { ::DestroyIcon(h); }
};

}  // namespace HandleTraits

using ScopedHandle = UniqueHandle<HandleTraits::Kernel>;
using ScopedFileHandle = UniqueHandle<HandleTraits::File>;
using ScopedSnapshot = UniqueHandle<HandleTraits::File>;
using ScopedKey = UniqueHandle<HandleTraits::RegKey>;
template <class T>
using ScopedGdiObject = UniqueHandle<HandleTraits::GdiObject<T>>;
using ScopedMemoryDC = UniqueHandle<HandleTraits::MemoryDC>;
using ScopedModule = UniqueHandle<HandleTraits::Module>;
using ScopedIcon = UniqueHandle<HandleTraits::Icon>;

// Selects a GDI object into a device context for the guard's lifetime and
// puts the previous object back when the guard ends. The object must outlive
// the guard (declare its owner first).
class SelectObjectGuard {
public:
    SelectObjectGuard(HDC dc, HGDIOBJ object) noexcept : m_dc(dc), m_previous(::SelectObject(dc, object)) {}
    ~SelectObjectGuard() {
        if (m_previous != nullptr && m_previous != HGDI_ERROR) ::SelectObject(m_dc, m_previous);
    }
    SelectObjectGuard(const SelectObjectGuard&) = delete;
    SelectObjectGuard& operator=(const SelectObjectGuard&) = delete;

    // False when the selection failed (nothing to put back).
    bool Selected() const noexcept { return m_previous != nullptr && m_previous != HGDI_ERROR; }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

// One COM reference; Release on every path. Move-only.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    void reset() noexcept {
        if (m_p != nullptr) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }

    // Out-parameter slots for creation calls; the previous reference is released first.
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    // QueryInterface into another owner; E_POINTER when this one is empty.
    template <class U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept {
        if (m_p == nullptr) return E_POINTER;
        return m_p->QueryInterface(iid, out.put_void());
    }

private:
    T* m_p = nullptr;
};

// A BSTR made for one call and freed after it. Allocation failure leaves it
// null: check with bool before handing it on.
class ScopedBstr {
public:
    ScopedBstr() noexcept = default;
    explicit ScopedBstr(const wchar_t* text) noexcept : m_s(::SysAllocString(text)) {}
    ~ScopedBstr() { ::SysFreeString(m_s); }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;

    BSTR get() const noexcept { return m_s; }
    explicit operator bool() const noexcept { return m_s != nullptr; }
    // Slot for an API that returns a BSTR; the previous string is freed first.
    BSTR* put() noexcept {
        ::SysFreeString(m_s);
        m_s = nullptr;
        return &m_s;
    }

private:
    BSTR m_s = nullptr;
};

// A VARIANT cleared (VariantClear) when it goes out of scope.
class ScopedVariant {
public:
    ScopedVariant() noexcept { ::VariantInit(&m_v); }
    ~ScopedVariant() { ::VariantClear(&m_v); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT& get() noexcept { return m_v; }
    void Clear() noexcept { ::VariantClear(&m_v); }

private:
    VARIANT m_v;
};
