#include "com/com.h"

#include <new>
#include <string>

namespace {

// What a failing call leaves behind: a description, and where it came from.
class ErrorInfo final : public com::Object<IErrorInfo, ICreateErrorInfo> {
public:
    HRESULT GetGUID(GUID* guid) noexcept override {
        if (guid == nullptr) return E_INVALIDARG;
        *guid = guid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) noexcept override { return Copy(source_, source); }
    HRESULT GetDescription(BSTR* description) noexcept override { return Copy(description_, description); }
    HRESULT GetHelpFile(BSTR* helpFile) noexcept override { return Copy(helpFile_, helpFile); }
    HRESULT GetHelpContext(DWORD* helpContext) noexcept override {
        if (helpContext == nullptr) return E_INVALIDARG;
        *helpContext = helpContext_;
        return S_OK;
    }

    HRESULT SetGUID(REFGUID guid) noexcept override {
        guid_ = guid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR source) noexcept override { return Assign(source_, source); }
    HRESULT SetDescription(LPOLESTR description) noexcept override { return Assign(description_, description); }
    HRESULT SetHelpFile(LPOLESTR helpFile) noexcept override { return Assign(helpFile_, helpFile); }
    HRESULT SetHelpContext(DWORD helpContext) noexcept override {
        helpContext_ = helpContext;
        return S_OK;
    }

private:
    static HRESULT Copy(const std::u16string& text, BSTR* out) noexcept {
        if (out == nullptr) return E_INVALIDARG;
        *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    static HRESULT Assign(std::u16string& target, const OLECHAR* text) noexcept {
        try {
            target = text == nullptr ? std::u16string() : std::u16string(text);
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    GUID guid_{};
    std::u16string source_;
    std::u16string description_;
    std::u16string helpFile_;
    DWORD helpContext_ = 0;
};

// The calling thread's current error information; one reference is held here.
class CurrentErrorInfo {
public:
    ~CurrentErrorInfo() { Reset(nullptr); }
    void Reset(IErrorInfo* errorInfo) noexcept {
        if (errorInfo != nullptr) errorInfo->AddRef();
        if (held_ != nullptr) held_->Release();
        held_ = errorInfo;
    }
    IErrorInfo* Take() noexcept {
        IErrorInfo* taken = held_;
        held_ = nullptr;
        return taken;
    }

private:
    IErrorInfo* held_ = nullptr;
};

thread_local CurrentErrorInfo currentErrorInfo;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** errorInfo) noexcept {
    if (errorInfo == nullptr) return E_INVALIDARG;
    *errorInfo = new (std::nothrow) ErrorInfo;
    return *errorInfo == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* errorInfo) noexcept {
    currentErrorInfo.Reset(errorInfo);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** errorInfo) noexcept {
    if (errorInfo == nullptr) return E_INVALIDARG;
    *errorInfo = currentErrorInfo.Take();
    return *errorInfo == nullptr ? S_FALSE : S_OK;
}

namespace com {

HRESULT ReportError(HRESULT code, std::string_view description) noexcept {
    try {
        std::u16string wide;
        if (!WideFromNarrow(description, wide)) {
            // Keep what can be kept: every byte that is not ASCII becomes U+FFFD.
            wide.clear();
            for (unsigned char byte : description) wide.push_back(byte < 0x80 ? char16_t{byte} : u'\xFFFD');
        }
        ICreateErrorInfo* created = nullptr;
        if (FAILED(CreateErrorInfo(&created))) return code;
        created->SetDescription(wide.data());
        IErrorInfo* errorInfo = nullptr;
        if (SUCCEEDED(created->QueryInterface(&errorInfo))) {
            SetErrorInfo(0, errorInfo);
            errorInfo->Release();
        }
        created->Release();
    } catch (const std::bad_alloc&) {
        SetErrorInfo(0, nullptr);
    }
    return code;
}

}  // namespace com
