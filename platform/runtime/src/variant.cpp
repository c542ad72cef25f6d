#include "com/com.h"

void VariantInit(VARIANT* variant) noexcept {
    variant->vt = VT_EMPTY;
    variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
    variant->dblVal = 0;
}

HRESULT VariantClear(VARIANT* variant) noexcept {
    if (variant == nullptr) return E_INVALIDARG;
    switch (variant->vt) {
        case VT_BSTR:
            SysFreeString(variant->bstrVal);
            break;
        case VT_UNKNOWN:
            if (variant->punkVal != nullptr) variant->punkVal->Release();
            break;
        default:
            break;
    }
    VariantInit(variant);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) noexcept {
    if (destination == nullptr || source == nullptr) return E_INVALIDARG;
    if (destination == source) return S_OK;
    VARIANT copy = *source;
    if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if (source->vt == VT_UNKNOWN && source->punkVal != nullptr) {
        source->punkVal->AddRef();
    }
    VariantClear(destination);
    *destination = copy;
    return S_OK;
}
