#include "xslt/collation.h"

#include <dlfcn.h>
#include <libxml/globals.h>
#include <libxml/xmlmemory.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <atomic>
#include <cstring>
#include <mutex>
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

// ICU's collators live in libicui18n, which the service loads when the first sort needs one
// rather than linking it: resolving its hundreds of symbols at every start took 0.4 ms, a tenth
// of a run over a small document, and most runs never sort. ICU renames each function after its
// release (ucol_open is ucol_open_72); the headers' own macros give the names to look up.
#define BRENDLE_QUOTED(name) #name
#define BRENDLE_ICU_NAME(name) BRENDLE_QUOTED(name)

struct CollatorFunctions {
    decltype(&ucol_open) open = nullptr;
    decltype(&ucol_close) close = nullptr;
    decltype(&ucol_setAttribute) setAttribute = nullptr;
    decltype(&ucol_getSortKey) getSortKey = nullptr;
};

std::mutex gLibraryMutex;
void* gLibrary = nullptr;
// Set once all functions are found; null until then, and again after ReleaseCollators.
std::atomic<const CollatorFunctions*> gFunctions{nullptr};
CollatorFunctions gLoaded;

template <class Function>
bool Find(void* library, const char* name, Function& function) noexcept {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The collator functions; null when libicui18n cannot be loaded.
const CollatorFunctions* Collators() noexcept {
    if (const CollatorFunctions* functions = gFunctions.load(std::memory_order_acquire)) return functions;
    const std::lock_guard<std::mutex> lock(gLibraryMutex);
    if (const CollatorFunctions* functions = gFunctions.load(std::memory_order_relaxed)) return functions;
    if (gLibrary == nullptr) {
        gLibrary = ::dlopen("libicui18n.so." BRENDLE_ICU_NAME(U_ICU_VERSION_MAJOR_NUM), RTLD_NOW | RTLD_LOCAL);
        if (gLibrary == nullptr) return nullptr;
    }
    if (!Find(gLibrary, BRENDLE_ICU_NAME(ucol_open), gLoaded.open) ||
        !Find(gLibrary, BRENDLE_ICU_NAME(ucol_close), gLoaded.close) ||
        !Find(gLibrary, BRENDLE_ICU_NAME(ucol_setAttribute), gLoaded.setAttribute) ||
        !Find(gLibrary, BRENDLE_ICU_NAME(ucol_getSortKey), gLoaded.getSortKey))
        return nullptr;
    gFunctions.store(&gLoaded, std::memory_order_release);
    return &gLoaded;
}

}  // namespace

void ReleaseCollators() noexcept {
    const std::lock_guard<std::mutex> lock(gLibraryMutex);
    gFunctions.store(nullptr, std::memory_order_release);
    if (gLibrary != nullptr) (void)::dlclose(gLibrary);
    gLibrary = nullptr;
}

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

void Collation::CollatorCloser::operator()(UCollator* collator) const noexcept {
    // A collator exists only once the functions were found.
    Collators()->close(collator);
}

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
        const CollatorFunctions* const icu = Collators();
        if (icu == nullptr) return;
        const std::string locale = LocaleOf(language);
        UErrorCode status = U_ZERO_ERROR;
        collator_.reset(icu->open(locale.c_str(), &status));
        if (U_FAILURE(status)) {
            collator_.reset();
            return;
        }
        icu->setAttribute(collator_.get(), UCOL_CASE_FIRST, lowerFirst ? UCOL_LOWER_FIRST : UCOL_UPPER_FIRST, &status);
        // Composed and decomposed accents are the same letter.
        icu->setAttribute(collator_.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
        if (U_FAILURE(status)) collator_.reset();
    } catch (...) {
        collator_.reset();
    }
}

Collation::~Collation() = default;

unsigned char* Collation::KeyOfUnits(const char16_t* text, std::int32_t length) noexcept {
    const auto getSortKey = Collators()->getSortKey;
    auto* buffer = static_cast<uint8_t*>(key_.data);
    int32_t needed = getSortKey(collator_.get(), text, length, buffer, static_cast<int32_t>(key_.size));
    if (needed <= 0) return nullptr;
    if (static_cast<std::size_t>(needed) > key_.size) {
        if (!key_.Reserve(static_cast<std::size_t>(needed))) return nullptr;
        buffer = static_cast<uint8_t*>(key_.data);
        needed = getSortKey(collator_.get(), text, length, buffer, static_cast<int32_t>(key_.size));
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
