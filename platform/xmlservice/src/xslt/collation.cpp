#include "xslt/collation.h"

#include <libxml/globals.h>
#include <libxml/xmlmemory.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <cstring>
#include <string>

namespace xmlservice {
namespace {

// The language whose order stands in for the system's when xsl:sort names none.
constexpr char kNeutralLocale[] = "en";

// Hyphens and apostrophes, which decide an order only between texts whose letters tie
// ("co-op" sorts beside "coop"): hyphen-minus, apostrophe, hyphen, non-breaking hyphen and
// the right single quotation mark written as an apostrophe.
bool IsWordJoiner(UChar unit) noexcept {
    return unit == 0x2D || unit == 0x27 || unit == 0x2010 || unit == 0x2011 || unit == 0x2019;
}

std::string LocaleOf(std::string_view language) {
    if (language.empty()) return kNeutralLocale;
    char locale[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    const std::string tag(language);
    const int32_t length = uloc_forLanguageTag(tag.c_str(), locale, sizeof locale, nullptr, &status);
    if (U_FAILURE(status) || length <= 0 || length >= static_cast<int32_t>(sizeof locale)) return tag;
    return locale;
}

}  // namespace

void FreeCollationKey(CollationKey& key) noexcept {
    xmlFree(key.letters);
    xmlFree(key.whole);
    key = {};
}

int CompareCollationKeys(const CollationKey& a, const CollationKey& b) noexcept {
    // Keys end with a zero byte and hold no other.
    const int letters = std::strcmp(reinterpret_cast<const char*>(a.letters), reinterpret_cast<const char*>(b.letters));
    if (letters != 0) return letters;
    const unsigned char* aWhole = a.whole != nullptr ? a.whole : a.letters;
    const unsigned char* bWhole = b.whole != nullptr ? b.whole : b.letters;
    return std::strcmp(reinterpret_cast<const char*>(aWhole), reinterpret_cast<const char*>(bWhole));
}

void Collation::CollatorCloser::operator()(UCollator* collator) const noexcept { ucol_close(collator); }

Collation::Scratch::~Scratch() { xmlFree(data); }

bool Collation::Scratch::Reserve(std::size_t bytes) noexcept {
    if (bytes <= size) return true;
    void* grown = xmlRealloc(data, bytes);
    if (grown == nullptr) return false;
    data = grown;
    size = bytes;
    return true;
}

Collation::Collation(std::string_view language, bool lowerFirst) noexcept {
    try {
        const std::string locale = LocaleOf(language);
        UErrorCode status = U_ZERO_ERROR;
        collator_.reset(ucol_open(locale.c_str(), &status));
        if (U_FAILURE(status)) {
            collator_.reset();
            return;
        }
        ucol_setAttribute(collator_.get(), UCOL_CASE_FIRST, lowerFirst ? UCOL_LOWER_FIRST : UCOL_UPPER_FIRST, &status);
        // Composed and decomposed accents are the same letter.
        ucol_setAttribute(collator_.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
        if (U_FAILURE(status)) collator_.reset();
    } catch (...) {
        collator_.reset();
    }
}

Collation::~Collation() = default;

unsigned char* Collation::KeyOfUnits(const char16_t* text, std::int32_t length) noexcept {
    auto* buffer = static_cast<uint8_t*>(key_.data);
    int32_t needed = ucol_getSortKey(collator_.get(), text, length, buffer, static_cast<int32_t>(key_.size));
    if (needed <= 0) return nullptr;
    if (static_cast<std::size_t>(needed) > key_.size) {
        if (!key_.Reserve(static_cast<std::size_t>(needed))) return nullptr;
        buffer = static_cast<uint8_t*>(key_.data);
        needed = ucol_getSortKey(collator_.get(), text, length, buffer, static_cast<int32_t>(key_.size));
        if (needed <= 0 || static_cast<std::size_t>(needed) > key_.size) return nullptr;
    }
    auto* key = static_cast<unsigned char*>(xmlMalloc(static_cast<std::size_t>(needed)));
    if (key != nullptr) std::memcpy(key, buffer, static_cast<std::size_t>(needed));
    return key;
}

bool Collation::KeyOf(const unsigned char* text, CollationKey& key) noexcept {
    key = {};
    if (!Usable()) return false;
    const char* utf8 = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    const std::size_t bytes = std::strlen(utf8);
    // A UTF-8 text never takes more UTF-16 units than it has bytes.
    if (bytes >= static_cast<std::size_t>(INT32_MAX / 2)) return false;
    const std::size_t unitsRoom = bytes + 1;
    if (!text_.Reserve(unitsRoom * sizeof(UChar)) || !letters_.Reserve(unitsRoom * sizeof(UChar))) return false;
    auto* units = static_cast<UChar*>(text_.data);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(units, static_cast<int32_t>(unitsRoom), &length, utf8, static_cast<int32_t>(bytes), 0xFFFD,
                         nullptr, &status);
    if (U_FAILURE(status)) return false;

    auto* letters = static_cast<UChar*>(letters_.data);
    int32_t letterCount = 0;
    for (int32_t i = 0; i < length; ++i)
        if (!IsWordJoiner(units[i])) letters[letterCount++] = units[i];

    key.letters = KeyOfUnits(letters, letterCount);
    if (key.letters == nullptr) return false;
    if (letterCount != length) {
        key.whole = KeyOfUnits(units, length);
        if (key.whole == nullptr) {
            FreeCollationKey(key);
            return false;
        }
    }
    return true;
}

}  // namespace xmlservice
