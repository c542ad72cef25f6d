#include "xslt/sort.h"

#include "engine/budget_allocator.h"
#include "engine/call_record.h"
#include "engine/handles.h"
#include "engine/libxslt_fields.h"
#include "xslt/collation.h"
#include "xslt/xpath_text.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/templates.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gServiceSorts{0};

// What one xsl:sort asks for, its attribute value templates evaluated.
struct SortLevel {
    xmlNodePtr instruction = nullptr;
    // The select expression; "." when there is none.
    std::string select = ".";
    bool number = false;
    bool descending = false;
    bool lowerFirst = false;
    // The lang attribute; empty for the neutral collation.
    std::string language;
};

// The attribute `name` of an xsl:sort; nothing when it is absent. With a `context`, the attribute
// is a template, evaluated at the current node as libxslt evaluates it before sorting.
std::optional<std::string> AttributeOf(xsltTransformContextPtr context, xmlNodePtr sort, const char* name) {
    const auto* attributeName = reinterpret_cast<const xmlChar*>(name);
    std::unique_ptr<xmlChar, LibraryMemoryDeleter> value(xmlGetNoNsProp(sort, attributeName));
    if (!value) return std::nullopt;
    if (context != nullptr && xmlStrchr(value.get(), '{') != nullptr)
        value.reset(xsltEvalAttrValueTemplate(context, sort, attributeName, nullptr));
    return std::string(value ? reinterpret_cast<const char*>(value.get()) : "");
}

std::optional<SortLevel> ReadLevel(xsltTransformContextPtr context, xmlNodePtr sort) {
    if (sort == nullptr || sort->type != XML_ELEMENT_NODE) return std::nullopt;
    SortLevel read;
    read.instruction = sort;
    // Any data type but number sorts as text, after libxslt's warning at compile time.
    if (const auto dataType = AttributeOf(context, sort, "data-type")) read.number = *dataType == "number";
    if (const auto order = AttributeOf(context, sort, "order")) read.descending = *order == "descending";
    if (const auto caseOrder = AttributeOf(context, sort, "case-order")) read.lowerFirst = *caseOrder == "lower-first";
    if (auto language = AttributeOf(context, sort, "lang")) read.language = std::move(*language);
    if (auto select = AttributeOf(nullptr, sort, "select")) read.select = std::move(*select);
    return read;
}

// The sort value of one node at one level: a number or the collation key of a text; absent when
// its expression failed.
struct SortValue {
    CollationKey text;
    double number = 0;
    bool present = false;
    // The key belongs to an earlier value of the same text, which frees it.
    bool sharesKey = false;
};

// The values of one level for every node of the list, by original position, in memory that the
// budget counts.
class LevelValues {
public:
    LevelValues() noexcept = default;
    ~LevelValues() {
        if (values_ == nullptr) return;
        for (int i = 0; i < length_; ++i)
            if (!values_[i].sharesKey) FreeCollationKey(values_[i].text);
        xmlFree(values_);
    }
    LevelValues(const LevelValues&) = delete;
    LevelValues& operator=(const LevelValues&) = delete;

    bool Allocate(int length) noexcept {
        values_ = static_cast<SortValue*>(xmlMalloc(static_cast<std::size_t>(length) * sizeof(SortValue)));
        if (values_ == nullptr) return false;
        std::uninitialized_default_construct_n(values_, length);
        length_ = length;
        return true;
    }
    SortValue& operator[](int i) noexcept { return values_[i]; }

private:
    SortValue* values_ = nullptr;
    int length_ = 0;
};

std::atomic<std::uint64_t> gSortKeysMade{0};

// The texts of one level met so far, each with the first position that had it. The columns that
// lists are sorted by repeat their texts (authors, genres, dates), and equal texts have equal
// keys: the collation is asked once per distinct text. A level whose texts mostly differ stops
// looking after its first kProbe texts.
class RepeatedTexts {
public:
    // The position whose key `text` can share; -1 for none.
    int Find(std::string_view text) noexcept {
        if (givenUp_) return -1;
        const auto found = positions_.find(text);
        if (found != positions_.end()) {
            ++found_;
            return found->second;
        }
        return -1;
    }

    // Remembers `position` as the first to have `text`, which stays where it is during the sort.
    void Remember(std::string_view text, int position) noexcept {
        if (givenUp_) return;
        if (++remembered_ == kProbe && found_ < kProbe / 4) {
            GiveUp();
            return;
        }
        try {
            positions_.emplace(text, position);
        } catch (...) {
            GiveUp();
        }
    }

private:
    static constexpr int kProbe = 512;

    void GiveUp() noexcept {
        givenUp_ = true;
        CountedMap<std::string_view, int>().swap(positions_);
    }

    CountedMap<std::string_view, int> positions_;
    int remembered_ = 0;
    int found_ = 0;
    bool givenUp_ = false;
};

// The string value of the step child::`name` from `node`, as XPath gives it: the text of the
// first node, empty when there is none. Null when memory ran out.
std::unique_ptr<xmlChar, LibraryMemoryDeleter> ChildStepText(const xmlNode* node, const xmlChar* name) {
    std::unique_ptr<xmlChar, LibraryMemoryDeleter> text;
    VisitChildStep(node, name, [&](const xmlNode* child) {
        text.reset(xmlNodeGetContent(child));
        return false;
    });
    // As xmlXPathCastNodeToString reads a node without content.
    if (text == nullptr) text.reset(xmlStrdup(reinterpret_cast<const xmlChar*>("")));
    return text;
}

// Evaluates the select expression of `level` for every node of `list`, as libxslt does: each
// node is the context node, its original position the context position, the list's length the
// context size; the value is the result's string, read as a number for data-type="number". A
// text's collation key is made at once, so that comparisons never look at the text again.
bool ComputeLevel(xsltTransformContextPtr context, xmlNodeSetPtr list, const SortLevel& level, LevelValues& values) {
    if (!values.Allocate(list->nodeNr)) return false;
    std::optional<Collation> collation;
    if (!level.number) {
        collation.emplace(level.language, level.lowerFirst);
        if (!collation->Usable()) return false;
    }
    xmlXPathContextPtr xpath = XPathContextOf(context);
    const CompiledExpressionHandle expression(
        xmlXPathCtxtCompile(xpath, reinterpret_cast<const xmlChar*>(level.select.c_str())));
    if (!expression) {
        StopTransform(context);
        return true;
    }
    // The namespaces in scope at the xsl:sort resolve the expression's prefixes.
    const std::unique_ptr<xmlNsPtr, LibraryMemoryDeleter> namespaces(xmlGetNsList(level.instruction->doc, level.instruction));
    int namespaceCount = 0;
    if (namespaces)
        while (namespaces.get()[namespaceCount] != nullptr) ++namespaceCount;

    const EvaluationScope scope(context, xpath);
    xpath->namespaces = namespaces.get();
    xpath->nsNr = namespaceCount;
    xpath->contextSize = list->nodeNr;
    // An element or the document has children to read; any other node goes through XPath.
    const bool childStep = IsChildNameStep(level.select);
    const auto* name = reinterpret_cast<const xmlChar*>(level.select.c_str());
    const ChildStepReadAhead readAhead(*list, name);
    RepeatedTexts repeated;
    bool complete = true;
    for (int i = 0; i < list->nodeNr && complete; ++i) {
        if (childStep) readAhead.Before(i);
        xmlNodePtr node = list->nodeTab[i];
        // Read where it is held when it is held in one place, else copied out.
        const xmlChar* held = nullptr;
        std::unique_ptr<xmlChar, LibraryMemoryDeleter> text;
        if (childStep && HasChildStep(node)) {
            if (!ChildStepHeldText(node, name, held)) {
                text = ChildStepText(node, name);
                held = text.get();
            }
        } else {
            SetTransformPlace(context, node, level.instruction);
            xpath->node = node;
            xpath->proximityPosition = i + 1;
            const XPathObjectHandle result(xmlXPathCompiledEval(expression.get(), xpath));
            if (!result) {
                StopTransform(context);
                continue;
            }
            text.reset(xmlXPathCastToString(result.get()));
            held = text.get();
        }
        if (held == nullptr) {
            complete = false;
            break;
        }
        SortValue& value = values[i];
        value.present = true;
        if (level.number) {
            value.number = xmlXPathCastStringToNumber(held);
            continue;
        }
        // Only a text that stays in the tree is remembered; a copy is gone after this node.
        const bool inTree = !text;
        const std::string_view view(reinterpret_cast<const char*>(held));
        if (const int earlier = inTree ? repeated.Find(view) : -1; earlier >= 0) {
            value.text = values[earlier].text;
            value.sharesKey = true;
            continue;
        }
        gSortKeysMade.fetch_add(1, std::memory_order_relaxed);
        if (!collation->KeyOf(held, value.text)) {
            value.present = false;
            complete = false;
            break;
        }
        if (inTree) repeated.Remember(view, i);
    }
    return complete;
}

// The sort values of every level, computed when first needed, as libxslt computes a later level
// only once the earlier ones leave a tie.
class SortKeys {
public:
    SortKeys(xsltTransformContextPtr context, xmlNodeSetPtr list, const std::vector<SortLevel>& levels) noexcept
        : context_(context), list_(list), levels_(levels) {}

    // The values of `level`; null when they could not be computed, which the caller's failure
    // reports (a transformation stopped or out of memory).
    LevelValues* Level(std::size_t level) noexcept {
        if (!computed_[level]) {
            computed_[level] = true;
            complete_[level] = ComputeLevel(context_, list_, levels_[level], values_[level]);
            if (!complete_[level]) failed_ = true;
        }
        return complete_[level] ? &values_[level] : nullptr;
    }
    bool Failed() const noexcept { return failed_; }

    // Compares the nodes at original positions `a` and `b`: numbers with NaN first, text by
    // collation, descending levels reversed, an absent value last either way, and the original
    // position when every level ties.
    bool Before(int a, int b) noexcept {
        for (std::size_t level = 0; level < levels_.size(); ++level) {
            LevelValues* values = Level(level);
            if (values == nullptr) return a < b;
            const SortValue& first = (*values)[a];
            const SortValue& second = (*values)[b];
            int order = 0;
            if (!first.present || !second.present) {
                order = first.present == second.present ? 0 : (first.present ? -1 : 1);
            } else {
                order = levels_[level].number ? CompareNumbers(first.number, second.number)
                                              : CompareCollationKeys(first.text, second.text);
                if (levels_[level].descending) order = -order;
            }
            if (order != 0) return order < 0;
        }
        return a < b;
    }

private:
    static int CompareNumbers(double a, double b) noexcept {
        const bool aNaN = xmlXPathIsNaN(a) != 0;
        const bool bNaN = xmlXPathIsNaN(b) != 0;
        if (aNaN || bNaN) return aNaN == bNaN ? 0 : (aNaN ? -1 : 1);
        if (a == b) return 0;
        return a > b ? 1 : -1;
    }

    xsltTransformContextPtr const context_;
    xmlNodeSetPtr const list_;
    const std::vector<SortLevel>& levels_;
    std::array<LevelValues, XSLT_MAX_SORT> values_{};
    std::array<bool, XSLT_MAX_SORT> computed_{};
    std::array<bool, XSLT_MAX_SORT> complete_{};
    bool failed_ = false;
};

// The first eight bytes of a collation key, zero after its end, as one number: two keys whose
// leading bytes differ compare as these numbers do, since a key holds no zero but its last byte.
std::uint64_t LeadingBytes(const unsigned char* key) noexcept {
    std::uint64_t leading = 0;
    int shift = 56;
    for (; shift >= 0 && *key != 0; shift -= 8, ++key) leading |= std::uint64_t{*key} << shift;
    return leading;
}

// Sorts the original positions into `order` as SortKeys::Before orders them, with a first level
// of text. Each position carries the leading bytes of its first key, so that most comparisons
// read no key; only positions whose leading bytes tie, or that have no value, compare in full.
void SortByLeadingBytes(LevelValues& first, bool descending, SortKeys& keys, std::vector<int>& order) {
    struct Position {
        std::uint64_t leading;
        int index;
        bool present;
    };
    std::vector<Position> positions(order.size());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const SortValue& value = first[static_cast<int>(i)];
        positions[i] = {value.present ? LeadingBytes(value.text.letters) : 0, static_cast<int>(i), value.present};
    }
    std::sort(positions.begin(), positions.end(), [&](const Position& a, const Position& b) {
        if (a.present && b.present && a.leading != b.leading) return descending ? a.leading > b.leading : a.leading < b.leading;
        return keys.Before(a.index, b.index);
    });
    for (std::size_t i = 0; i < positions.size(); ++i) order[i] = positions[i].index;
}

void SortFunction(xsltTransformContextPtr context, xmlNodePtr* sorts, int count) noexcept {
    if (context == nullptr || sorts == nullptr || count <= 0 || count >= XSLT_MAX_SORT) return;
    const xmlNodeSetPtr list = SortListOf(context);
    if (list == nullptr || list->nodeNr <= 1) return;

    std::vector<SortLevel> levels;
    std::vector<int> order;
    std::vector<xmlNodePtr> sorted;
    try {
        for (int level = 0; level < count; ++level) {
            std::optional<SortLevel> read = ReadLevel(context, sorts[level]);
            if (!read) return;
            levels.push_back(std::move(*read));
        }
        order.resize(static_cast<std::size_t>(list->nodeNr));
        sorted.resize(order.size());
    } catch (...) {
        StopTransform(context);
        return;
    }
    SortKeys keys(context, list, levels);
    // Without the first level's values the list stays as it is.
    LevelValues* const first = keys.Level(0);
    try {
        if (first != nullptr && !levels[0].number) {
            SortByLeadingBytes(*first, levels[0].descending, keys, order);
        } else {
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
            std::sort(order.begin(), order.end(), [&](int a, int b) { return keys.Before(a, b); });
        }
    } catch (...) {
        StopTransform(context);
        return;
    }
    if (keys.Failed() || TransformStopped(context)) {
        // Memory over the budget has stopped the transformation already, and so has a failed
        // expression, with libxml2's message.
        if (!TransformStopped(context)) {
            if (CallRecord* call = CallRecord::Current())
                call->Add({"xsl:sort could not order the nodes: its collation or the memory for its keys is missing"});
            StopTransform(context);
        }
        return;
    }
    for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = list->nodeTab[order[i]];
    std::copy(sorted.begin(), sorted.end(), list->nodeTab);
    gServiceSorts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void UseServiceSort(_xsltTransformContext* context) noexcept {
    if (context != nullptr) xsltSetCtxtSortFunc(context, SortFunction);
}

std::uint64_t ServiceSorts() noexcept { return gServiceSorts.load(std::memory_order_relaxed); }

std::uint64_t SortKeysMade() noexcept { return gSortKeysMade.load(std::memory_order_relaxed); }

}  // namespace xmlservice
