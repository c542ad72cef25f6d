#include "com/comdef.h"

#include <atomic>
#include <new>
#include <string>

// ---------------------------------------------------------------------------------------
// _com_error

_com_error::_com_error(HRESULT code, IErrorInfo* errorInfo, bool addReference) noexcept
    : code_(code), errorInfo_(errorInfo) {
    if (errorInfo_ != nullptr && addReference) errorInfo_->AddRef();
}

_com_error::_com_error(const _com_error& other) noexcept : code_(other.code_), errorInfo_(other.errorInfo_) {
    if (errorInfo_ != nullptr) errorInfo_->AddRef();
}

_com_error& _com_error::operator=(const _com_error& other) noexcept {
    if (this != &other) {
        if (other.errorInfo_ != nullptr) other.errorInfo_->AddRef();
        if (errorInfo_ != nullptr) errorInfo_->Release();
        code_ = other.code_;
        errorInfo_ = other.errorInfo_;
    }
    return *this;
}

_com_error::~_com_error() {
    if (errorInfo_ != nullptr) errorInfo_->Release();
}

IErrorInfo* _com_error::ErrorInfo() const noexcept {
    if (errorInfo_ != nullptr) errorInfo_->AddRef();
    return errorInfo_;
}

_bstr_t _com_error::Description() const {
    BSTR description = nullptr;
    if (errorInfo_ != nullptr && FAILED(errorInfo_->GetDescription(&description))) description = nullptr;
    return _bstr_t(description, false);
}

void _com_issue_error(HRESULT code) { throw _com_error(code); }

void _com_issue_errorex(HRESULT code, IUnknown* object, REFIID iid) {
    IErrorInfo* errorInfo = nullptr;
    ISupportErrorInfo* support = nullptr;
    if (object != nullptr && SUCCEEDED(object->QueryInterface(&support))) {
        const HRESULT supported = support->InterfaceSupportsErrorInfo(iid);
        support->Release();
        // Only an exact S_OK counts: S_FALSE and the like mean "no".
        if (supported == S_OK && GetErrorInfo(0, &errorInfo) != S_OK) errorInfo = nullptr;
    }
    throw _com_error(code, errorInfo, false);
}

// ---------------------------------------------------------------------------------------
// _bstr_t

struct _bstr_t::Data {
    std::atomic<unsigned> references{1};
    BSTR wide = nullptr;
    std::string narrow;
    bool hasNarrow = false;

    ~Data() { SysFreeString(wide); }
};

namespace {

// The wide copy of UTF-8 text; raises on invalid UTF-8 or no memory.
BSTR AllocateFromNarrow(const char* narrow) {
    std::u16string wide;
    try {
        if (!com::WideFromNarrow(narrow, wide)) _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
    } catch (const std::bad_alloc&) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (text == nullptr) _com_issue_error(E_OUTOFMEMORY);
    return text;
}

}  // namespace

// Shares `owned` from now on; on failure frees it and raises E_OUTOFMEMORY.
void _bstr_t::Adopt(BSTR owned) {
    data_ = new (std::nothrow) Data;
    if (data_ == nullptr) {
        SysFreeString(owned);
        _com_issue_error(E_OUTOFMEMORY);
    }
    data_->wide = owned;
}

_bstr_t::_bstr_t(const char* narrow) {
    if (narrow != nullptr) Adopt(AllocateFromNarrow(narrow));
}

_bstr_t::_bstr_t(const OLECHAR* wide) {
    if (wide == nullptr) return;
    BSTR text = SysAllocString(wide);
    if (text == nullptr) _com_issue_error(E_OUTOFMEMORY);
    Adopt(text);
}

_bstr_t::_bstr_t(BSTR text, bool copy) {
    if (text == nullptr) return;
    BSTR owned = copy ? SysAllocStringLen(text, SysStringLen(text)) : text;
    if (owned == nullptr) _com_issue_error(E_OUTOFMEMORY);
    Adopt(owned);
}

_bstr_t::_bstr_t(const _bstr_t& other) noexcept : data_(other.data_) {
    if (data_ != nullptr) ++data_->references;
}

_bstr_t::_bstr_t(_bstr_t&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}

_bstr_t& _bstr_t::operator=(const _bstr_t& other) noexcept {
    if (data_ != other.data_) {
        if (other.data_ != nullptr) ++other.data_->references;
        Drop();
        data_ = other.data_;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(_bstr_t&& other) noexcept {
    if (this != &other) {
        Drop();
        data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(const char* narrow) {
    _bstr_t converted(narrow);
    return *this = std::move(converted);
}

_bstr_t::~_bstr_t() { Drop(); }

void _bstr_t::Drop() noexcept {
    if (data_ != nullptr && --data_->references == 0) delete data_;
    data_ = nullptr;
}

_bstr_t::operator const OLECHAR*() const noexcept { return GetBSTR(); }
_bstr_t::operator OLECHAR*() const noexcept { return GetBSTR(); }

_bstr_t::operator const char*() const {
    if (data_ == nullptr) return nullptr;
    if (!data_->hasNarrow) {
        try {
            if (!com::NarrowFromWide({data_->wide, SysStringLen(data_->wide)}, data_->narrow))
                _com_issue_error(HRESULT_FROM_WIN32(GetLastError()));
        } catch (const std::bad_alloc&) {
            _com_issue_error(E_OUTOFMEMORY);
        }
        data_->hasNarrow = true;
    }
    return data_->narrow.c_str();
}

_bstr_t::operator char*() const { return const_cast<char*>(static_cast<const char*>(*this)); }

unsigned int _bstr_t::length() const noexcept { return data_ == nullptr ? 0 : SysStringLen(data_->wide); }

BSTR _bstr_t::GetBSTR() const noexcept { return data_ == nullptr ? nullptr : data_->wide; }

BSTR _bstr_t::Detach() {
    if (data_ == nullptr) return nullptr;
    BSTR text = nullptr;
    if (data_->references == 1) {
        text = std::exchange(data_->wide, nullptr);
    } else {
        text = SysAllocStringLen(data_->wide, SysStringLen(data_->wide));
        if (text == nullptr) _com_issue_error(E_OUTOFMEMORY);
    }
    Drop();
    return text;
}

// ---------------------------------------------------------------------------------------
// _variant_t

_variant_t::_variant_t() noexcept { VariantInit(this); }

_variant_t::_variant_t(const char* narrow) : _variant_t(_bstr_t(narrow)) {}

_variant_t::_variant_t(const _bstr_t& text) {
    VariantInit(this);
    BSTR copy = nullptr;
    if (text.GetBSTR() != nullptr) {
        copy = SysAllocStringLen(text.GetBSTR(), text.length());
        if (copy == nullptr) _com_issue_error(E_OUTOFMEMORY);
    }
    vt = VT_BSTR;
    bstrVal = copy;
}

_variant_t::_variant_t(const OLECHAR* wide) : _variant_t(_bstr_t(wide)) {}

_variant_t::_variant_t(IUnknown* object, bool addReference) noexcept {
    VariantInit(this);
    vt = VT_UNKNOWN;
    punkVal = object;
    if (object != nullptr && addReference) object->AddRef();
}

_variant_t::_variant_t(bool value) noexcept {
    VariantInit(this);
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

_variant_t::_variant_t(int value) noexcept {
    VariantInit(this);
    vt = VT_I4;
    lVal = value;
}

_variant_t::_variant_t(long value) noexcept {
    VariantInit(this);
    vt = VT_I4;
    lVal = static_cast<LONG>(value);
}

_variant_t::_variant_t(double value) noexcept {
    VariantInit(this);
    vt = VT_R8;
    dblVal = value;
}

_variant_t::_variant_t(const VARIANT& other) {
    VariantInit(this);
    const HRESULT result = VariantCopy(this, &other);
    if (FAILED(result)) _com_issue_error(result);
}

_variant_t::_variant_t(const _variant_t& other) : _variant_t(static_cast<const VARIANT&>(other)) {}

_variant_t::_variant_t(_variant_t&& other) noexcept : VARIANT(static_cast<const VARIANT&>(other)) {
    VariantInit(&other);
}

_variant_t& _variant_t::operator=(const _variant_t& other) {
    const HRESULT result = VariantCopy(this, &other);
    if (FAILED(result)) _com_issue_error(result);
    return *this;
}

_variant_t& _variant_t::operator=(_variant_t&& other) noexcept {
    if (this != &other) {
        VariantClear(this);
        static_cast<VARIANT&>(*this) = other;
        VariantInit(&other);
    }
    return *this;
}

_variant_t::~_variant_t() { VariantClear(this); }

void _variant_t::Clear() { VariantClear(this); }

VARIANT _variant_t::Detach() noexcept {
    VARIANT detached = *this;
    VariantInit(this);
    return detached;
}
