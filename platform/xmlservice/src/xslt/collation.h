// The linguistic order of text that xsl:sort uses: letters compare without regard to case
// first, accents next and case last, hyphens and apostrophes count only where the letters tie,
// and the language picks the rules (English when none is given).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

struct UCollator;

namespace xmlservice {

// The key of one text under a collation: comparing two keys byte by byte (CompareCollationKeys)
// orders their texts. Both parts are allocated with xmlMalloc, so the memory budget counts them.
struct CollationKey {
    // The key of the text without its hyphens and apostrophes.
    unsigned char* letters = nullptr;
    // The key of the whole text, when it differs from `letters`; null otherwise.
    unsigned char* whole = nullptr;
};

// Unloads the collation library once ICU's caches are cleaned up (u_cleanup), at the process's
// end; a later sort would load it again.
void ReleaseCollators() noexcept;

// Frees both parts of `key` and empties it.
void FreeCollationKey(CollationKey& key) noexcept;

// Negative, zero or positive as the text of `a` sorts before, with or after that of `b`.
int CompareCollationKeys(const CollationKey& a, const CollationKey& b) noexcept;

class Collation {
public:
    // The collation of `language` (an xml:lang code such as "sv" or "en-GB"; empty for the
    // neutral English one), upper case before lower case unless `lowerFirst`. A language the
    // collation library does not know gets its root order.
    Collation(std::string_view language, bool lowerFirst) noexcept;
    ~Collation();
    Collation(const Collation&) = delete;
    Collation& operator=(const Collation&) = delete;

    // False when the collation could not be opened.
    bool Usable() const noexcept { return collator_ != nullptr; }

    // The key of the UTF-8 `text`; false when memory ran out, with `key` empty.
    bool KeyOf(const unsigned char* text, CollationKey& key) noexcept;

private:
    struct CollatorCloser {
        void operator()(UCollator* collator) const noexcept;
    };
    // A buffer from xmlMalloc that grows and is freed with its owner.
    struct Scratch {
        ~Scratch();
        bool Reserve(std::size_t bytes) noexcept;
        void* data = nullptr;
        std::size_t size = 0;
    };

    unsigned char* KeyOfUnits(const char16_t* units, std::int32_t length) noexcept;

    std::unique_ptr<UCollator, CollatorCloser> collator_;
    Scratch text_;
    Scratch letters_;
    Scratch key_;
};

}  // namespace xmlservice
