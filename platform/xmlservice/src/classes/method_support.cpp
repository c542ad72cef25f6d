#include "classes/method_support.h"

namespace xmlservice {

bool Utf8FromWide(BSTR text, std::string& utf8) {
    if (text == nullptr) {
        utf8.clear();
        return true;
    }
    return com::NarrowFromWide(std::u16string_view(text, SysStringLen(text)), utf8);
}

HRESULT ReturnText(std::string_view utf8, BSTR* out) noexcept {
    if (out == nullptr) return Fail(Failure::NullPointer);
    *out = nullptr;
    return Guarded([&] {
        std::u16string wide;
        if (!com::WideFromNarrow(utf8, wide)) {
            wide.clear();
            for (const char c : utf8) {
                const auto byte = static_cast<unsigned char>(c);
                wide.push_back(byte < 0x80 ? char16_t{byte} : u'\xFFFD');
            }
        }
        *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        return *out != nullptr ? S_OK : Fail(Failure::NoMemory);
    });
}

std::string VariantTypeName(VARTYPE type) {
    switch (type) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R8: return "VT_R8";
    case VT_BSTR: return "VT_BSTR";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_UNKNOWN: return "VT_UNKNOWN";
    default: return "variant type " + std::to_string(type);
    }
}

}  // namespace xmlservice
