// The support types of the runtime: the COM error, the wide-string and variant wrappers and
// the service holder `_com_ptr_t`. These raise `_com_error`; the raw interface calls never do.
#pragma once

#include "com/com.h"

#include <memory>
#include <utility>

class _bstr_t;

// The exception that a failed creation, a raising call or a holder's call access raises.
class _com_error {
public:
    // Takes over one reference to `errorInfo` unless `addReference`, in which case it adds its own.
    explicit _com_error(HRESULT code, IErrorInfo* errorInfo = nullptr, bool addReference = false) noexcept;
    _com_error(const _com_error& other) noexcept;
    _com_error& operator=(const _com_error& other) noexcept;
    ~_com_error();

    HRESULT Error() const noexcept { return code_; }
    // The error information with a new reference for the caller; null when there is none.
    IErrorInfo* ErrorInfo() const noexcept;
    // The description of the error information; a null string when there is none.
    _bstr_t Description() const;

private:
    HRESULT code_;
    IErrorInfo* errorInfo_;
};

// Raises `_com_error` with `code` and no error information.
[[noreturn]] void _com_issue_error(HRESULT code);
// Raises `_com_error` with `code` and, when `object` supports error information for `iid`
// (ISupportErrorInfo answers exactly S_OK) and GetErrorInfo answers S_OK, the thread's error
// information.
[[noreturn]] void _com_issue_errorex(HRESULT code, IUnknown* object, REFIID iid);

// A shared, reference-counted wide string. Narrow text converts through UTF-8.
class _bstr_t {
public:
    _bstr_t() noexcept = default;
    // Raises E_OUTOFMEMORY, or HRESULT_FROM_WIN32(GetLastError()) for text that is not UTF-8.
    _bstr_t(const char* narrow);
    _bstr_t(const OLECHAR* wide);
    // Takes `text` over, or copies it when `copy`.
    _bstr_t(BSTR text, bool copy);
    _bstr_t(const _bstr_t& other) noexcept;
    _bstr_t(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const _bstr_t& other) noexcept;
    _bstr_t& operator=(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const char* narrow);
    ~_bstr_t();

    // The wide string; null for a null string. The wrapper keeps ownership.
    operator const OLECHAR*() const noexcept;
    operator OLECHAR*() const noexcept;
    // The string as UTF-8, converted once and kept; null for a null string. Raises on text that
    // is not valid UTF-16.
    operator const char*() const;
    operator char*() const;
    // The number of wide units.
    unsigned int length() const noexcept;
    // Hands the BSTR over to the caller and leaves the wrapper null.
    BSTR Detach();
    BSTR GetBSTR() const noexcept;

private:
    struct Data;
    void Adopt(BSTR owned);
    void Drop() noexcept;
    Data* data_ = nullptr;
};

// A variant that owns its value.
class _variant_t : public VARIANT {
public:
    _variant_t() noexcept;
    // A VT_BSTR; raises as _bstr_t does.
    _variant_t(const char* narrow);
    _variant_t(const _bstr_t& text);
    _variant_t(const OLECHAR* wide);
    // A VT_UNKNOWN holding its own reference (or taking `object`'s when !addReference).
    _variant_t(IUnknown* object, bool addReference = true) noexcept;
    _variant_t(bool value) noexcept;
    _variant_t(int value) noexcept;
    _variant_t(long value) noexcept;
    _variant_t(double value) noexcept;
    _variant_t(const VARIANT& other);
    _variant_t(const _variant_t& other);
    _variant_t(_variant_t&& other) noexcept;
    _variant_t& operator=(const _variant_t& other);
    _variant_t& operator=(_variant_t&& other) noexcept;
    ~_variant_t();

    void Clear();
    // Hands the value over as a plain VARIANT and leaves this one empty.
    VARIANT Detach() noexcept;
};

// The service holder: empty, or one reference to one object through `Interface`.
template <class Interface>
class _com_ptr_t {
public:
    using ThisIID = com::InterfaceId<Interface>;

    _com_ptr_t() noexcept = default;
    _com_ptr_t(std::nullptr_t) noexcept {}
    // Holds `object` and adds a reference to it.
    _com_ptr_t(Interface* object) noexcept : object_(object) { AddReferenceIfAny(); }
    // Holds `object`, adding a reference only when `addReference`.
    _com_ptr_t(Interface* object, bool addReference) noexcept : object_(object) {
        if (addReference) AddReferenceIfAny();
    }
    // Creates an object of class `clsid` (see CreateInstance). Raises every failure except
    // E_NOINTERFACE, which leaves the holder empty; the raised error carries no error information.
    explicit _com_ptr_t(const CLSID& clsid, IUnknown* outer = nullptr, DWORD context = CLSCTX_ALL) {
        const HRESULT result = CreateInstance(clsid, outer, context);
        if (FAILED(result) && result != E_NOINTERFACE) _com_issue_error(result);
    }
    _com_ptr_t(const _com_ptr_t& other) noexcept : object_(other.object_) { AddReferenceIfAny(); }
    _com_ptr_t(_com_ptr_t&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~_com_ptr_t() {
        if (object_ != nullptr) object_->Release();
    }

    // Stores `object` with a new reference, then releases the previous one; assigning the
    // object already held does nothing.
    _com_ptr_t& operator=(Interface* object) noexcept {
        if (object != object_) {
            Interface* previous = object_;
            object_ = object;
            AddReferenceIfAny();
            if (previous != nullptr) previous->Release();
        }
        return *this;
    }
    _com_ptr_t& operator=(const _com_ptr_t& other) noexcept { return *this = other.object_; }
    _com_ptr_t& operator=(_com_ptr_t&& other) noexcept {
        if (this != std::addressof(other)) {
            Interface* previous = std::exchange(object_, std::exchange(other.object_, nullptr));
            if (previous != nullptr) previous->Release();
        }
        return *this;
    }
    _com_ptr_t& operator=(std::nullptr_t) noexcept { return *this = static_cast<Interface*>(nullptr); }

    // Creates an object of class `clsid` and holds it through `Interface`. With the local- or
    // remote-server bit in `context` it creates the object as IUnknown, runs it (OleRun) and
    // then asks for `Interface`; otherwise it asks for `Interface` directly. Returns the first
    // failure, else S_OK.
    HRESULT CreateInstance(const CLSID& clsid, IUnknown* outer = nullptr, DWORD context = CLSCTX_ALL) noexcept {
        if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
        if ((context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0)
            return CoCreateInstance(clsid, outer, context, __uuidof(Interface), reinterpret_cast<void**>(&object_));
        IUnknown* unknown = nullptr;
        HRESULT result = CoCreateInstance(clsid, outer, context, __uuidof(IUnknown), reinterpret_cast<void**>(&unknown));
        if (SUCCEEDED(result)) {
            result = OleRun(unknown);
            if (SUCCEEDED(result))
                result = unknown->QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(&object_));
            unknown->Release();
        }
        return FAILED(result) ? result : S_OK;
    }

    // Attaches `object` without adding a reference, releasing the previous one.
    void Attach(Interface* object) noexcept {
        Interface* previous = std::exchange(object_, object);
        if (previous != nullptr) previous->Release();
    }
    // Hands the reference over to the caller and leaves the holder empty.
    Interface* Detach() noexcept { return std::exchange(object_, nullptr); }

    // Plain read: the held pointer, unchecked, without a new reference.
    Interface* GetInterfacePtr() const noexcept { return object_; }
    operator Interface*() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Call access: raises E_POINTER (without error information) when the holder is empty.
    Interface* operator->() const {
        if (object_ == nullptr) _com_issue_error(E_POINTER);
        return object_;
    }
    Interface& operator*() const { return *operator->(); }
    // Releases what is held and gives the address to receive a new reference.
    Interface** operator&() noexcept {
        if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
        return &object_;
    }

    // Explicit release: releases the reference and leaves the holder empty; raises E_POINTER
    // when it is already empty.
    void Release() {
        if (object_ == nullptr) _com_issue_error(E_POINTER);
        std::exchange(object_, nullptr)->Release();
    }
    void AddRef() {
        if (object_ == nullptr) _com_issue_error(E_POINTER);
        object_->AddRef();
    }

private:
    void AddReferenceIfAny() noexcept {
        if (object_ != nullptr) object_->AddRef();
    }

    Interface* object_ = nullptr;
};

#define _COM_SMARTPTR_TYPEDEF(Interface, iid) using Interface##Ptr = _com_ptr_t<Interface>

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IErrorInfo, __uuidof(IErrorInfo));
_COM_SMARTPTR_TYPEDEF(ICreateErrorInfo, __uuidof(ICreateErrorInfo));
_COM_SMARTPTR_TYPEDEF(ISupportErrorInfo, __uuidof(ISupportErrorInfo));
_COM_SMARTPTR_TYPEDEF(IClassFactory, __uuidof(IClassFactory));
_COM_SMARTPTR_TYPEDEF(IStream, __uuidof(IStream));
