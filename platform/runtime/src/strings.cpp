#include "com/com.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// A BSTR's byte length sits in the four bytes in front of its first unit.
constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);
constexpr UINT kMaxLength = (0xFFFFFFFFu - kPrefixBytes - sizeof(OLECHAR)) / sizeof(OLECHAR);

std::uint32_t* PrefixOf(BSTR text) noexcept {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - kPrefixBytes);
}

bool IsContinuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

DWORD GetLastError() noexcept { return lastError; }
void SetLastError(DWORD error) noexcept { lastError = error; }

BSTR SysAllocString(const OLECHAR* text) noexcept {
    if (text == nullptr) return nullptr;
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    if (length > kMaxLength) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) noexcept {
    if (length > kMaxLength) return nullptr;
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    void* block = std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR));
    if (block == nullptr) return nullptr;
    *static_cast<std::uint32_t*>(block) = static_cast<std::uint32_t>(bytes);
    auto* units = reinterpret_cast<OLECHAR*>(static_cast<char*>(block) + kPrefixBytes);
    if (text != nullptr)
        std::memcpy(units, text, bytes);
    else
        std::memset(units, 0, bytes);
    units[length] = 0;
    return units;
}

UINT SysStringLen(BSTR text) noexcept {
    return text == nullptr ? 0 : static_cast<UINT>(*PrefixOf(text) / sizeof(OLECHAR));
}

void SysFreeString(BSTR text) noexcept {
    if (text != nullptr) std::free(PrefixOf(text));
}

namespace com {

bool WideFromNarrow(std::string_view narrow, std::u16string& wide) {
    wide.clear();
    wide.reserve(narrow.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(narrow.data());
    const std::size_t size = narrow.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        char32_t point = 0;
        std::size_t extra = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            wide.push_back(lead);
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            point = lead & 0x1Fu, extra = 1, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            point = lead & 0x0Fu, extra = 2, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            point = lead & 0x07u, extra = 3, minimum = 0x10000;
        } else {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        if (size - i <= extra) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if (!IsContinuation(bytes[i + k])) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return false;
            }
            point = (point << 6) | (bytes[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
        if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        if (point >= 0x10000) {
            point -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(point));
        }
        i += extra + 1;
    }
    return true;
}

bool NarrowFromWide(std::u16string_view wide, std::string& narrow) {
    narrow.clear();
    narrow.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t point = wide[i];
        if (point >= 0xD800 && point <= 0xDBFF) {
            if (i + 1 >= wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return false;
            }
            point = 0x10000 + ((point - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
            ++i;
        } else if (point >= 0xDC00 && point <= 0xDFFF) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        if (point < 0x80) {
            narrow.push_back(static_cast<char>(point));
        } else if (point < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | (point >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else if (point < 0x10000) {
            narrow.push_back(static_cast<char>(0xE0 | (point >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xF0 | (point >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (point & 0x3F)));
        }
    }
    return true;
}

}  // namespace com
