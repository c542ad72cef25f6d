#include "xslt/sort.h"

#include "engine/handles.h"
#include "engine/libxslt_fields.h"
#include "xslt/xpath_text.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gServiceSorts{0};

// What one xsl:sort asks for, read from its own attributes as libxslt reads them when it compiles
// the instruction.
struct SortLevel {
    // The select expression; "." when there is none.
    std::string select = ".";
    bool number = false;
    bool descending = false;
};

// The attribute `name` of an xsl:sort; nothing when it is absent.
std::optional<std::string> AttributeOf(xmlNodePtr sort, const char* name) {
    const std::unique_ptr<xmlChar, LibraryMemoryDeleter> value(
        xmlGetNoNsProp(sort, reinterpret_cast<const xmlChar*>(name)));
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

// The sort keys of one xsl:sort for every node of the list, by original position; computed when
// first needed, as libxslt computes a later key only once the earlier ones leave a tie.
class SortKeys {
public:
    SortKeys(xsltTransformContextPtr context, xmlNodePtr* sorts, const std::vector<SortLevel>& levels,
             int length) noexcept
        : context_(context), sorts_(sorts), levels_(levels), length_(length) {}
    ~SortKeys() {
        for (xmlXPathObjectPtr* results : results_) {
            if (results == nullptr) continue;
            for (int i = 0; i < length_; ++i) xmlXPathFreeObject(results[i]);
            xmlFree(results);
        }
    }
    SortKeys(const SortKeys&) = delete;
    SortKeys& operator=(const SortKeys&) = delete;

    // The keys of level `level`, null when that level takes no part (as libxslt stops there).
    xmlXPathObjectPtr* Level(std::size_t level) noexcept {
        if (level >= levels_.size()) return nullptr;
        if (results_[level] == nullptr && !computed_[level]) {
            computed_[level] = true;
            results_[level] = xsltComputeSortResult(context_, sorts_[level]);
        }
        return results_[level];
    }

    // Compares the nodes at original positions `a` and `b` as libxslt does: numbers with NaN
    // first, text byte by byte, descending levels reversed, a missing key (its computation
    // failed) last either way, and the original position when every level ties.
    bool Before(int a, int b) noexcept {
        for (std::size_t level = 0; level < levels_.size(); ++level) {
            xmlXPathObjectPtr* results = Level(level);
            if (results == nullptr) break;
            const xmlXPathObjectPtr first = results[a];
            const xmlXPathObjectPtr second = results[b];
            int order = 0;
            if (first == nullptr || second == nullptr) {
                order = first == second ? 0 : (first == nullptr ? 1 : -1);
            } else {
                order = Compare(*first, *second, levels_[level].number);
                if (levels_[level].descending) order = -order;
            }
            if (order != 0) return order < 0;
        }
        return a < b;
    }

private:
    static int Compare(const xmlXPathObject& a, const xmlXPathObject& b, bool number) noexcept {
        if (!number) return xmlStrcmp(a.stringval, b.stringval);
        const bool aNaN = xmlXPathIsNaN(a.floatval) != 0;
        const bool bNaN = xmlXPathIsNaN(b.floatval) != 0;
        if (aNaN || bNaN) return aNaN == bNaN ? 0 : (aNaN ? -1 : 1);
        if (a.floatval == b.floatval) return 0;
        return a.floatval > b.floatval ? 1 : -1;
    }

    xsltTransformContextPtr const context_;
    xmlNodePtr* const sorts_;
    const std::vector<SortLevel>& levels_;
    const int length_;
    std::array<xmlXPathObjectPtr*, XSLT_MAX_SORT> results_{};
    std::array<bool, XSLT_MAX_SORT> computed_{};
};

// Functions whose value depends on nothing but their arguments and the node they are asked
// about, and that leave nothing behind.
constexpr std::string_view kPureFunctions[] = {
    "boolean", "ceiling", "comment", "concat", "contains", "count", "current", "false", "floor",
    "format-number", "id", "lang", "local-name", "name", "namespace-uri", "node", "normalize-space",
    "not", "number", "processing-instruction", "round", "starts-with", "string", "string-length",
    "substring", "substring-after", "substring-before", "sum", "text", "translate", "true",
};

// True when a key's value for a node does not depend on when it is computed. libxslt computes a
// later level while its Shell sort has the list half sorted, so position() and last() there see
// that order, and generate-id() numbers the nodes in it; such sorts keep libxslt's method.
bool IsPure(std::string_view select) noexcept {
    try {
        const auto called = CalledFunctions(select);
        return called && std::all_of(called->begin(), called->end(), [](std::string_view name) {
                   return std::find(std::begin(kPureFunctions), std::end(kPureFunctions), name) !=
                          std::end(kPureFunctions);
               });
    } catch (...) {
        return false;
    }
}

// Reads the xsl:sort at `level`; nothing when libxslt decides its data type or order only while
// sorting (a brace makes them attribute value templates), sorts by language, or computes the level at a
// moment that matters. The service leaves those sorts to libxslt.
std::optional<SortLevel> ReadLevel(xmlNodePtr sort, int level) {
    if (sort == nullptr || sort->type != XML_ELEMENT_NODE) return std::nullopt;
    SortLevel read;
    if (AttributeOf(sort, "lang")) return std::nullopt;
    if (const auto dataType = AttributeOf(sort, "data-type")) {
        if (dataType->find_first_of("{}") != std::string::npos) return std::nullopt;
        // Any other data type sorts as text, after libxslt's warning at compile time.
        read.number = *dataType == "number";
    }
    if (const auto order = AttributeOf(sort, "order")) {
        if (order->find_first_of("{}") != std::string::npos) return std::nullopt;
        read.descending = *order == "descending";
    }
    if (auto select = AttributeOf(sort, "select")) read.select = std::move(*select);
    if (level > 0 && !IsPure(read.select)) return std::nullopt;
    return read;
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
            std::optional<SortLevel> read = ReadLevel(sorts[level], level);
            if (!read) {
                xsltDefaultSortFunction(context, sorts, count);
                return;
            }
            levels.push_back(std::move(*read));
        }
        order.resize(static_cast<std::size_t>(list->nodeNr));
        sorted.resize(order.size());
    } catch (...) {
        xsltDefaultSortFunction(context, sorts, count);
        return;
    }
    SortKeys keys(context, sorts, levels, list->nodeNr);
    // Without the first keys libxslt leaves the list as it is.
    if (keys.Level(0) == nullptr) return;
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return keys.Before(a, b); });
    for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = list->nodeTab[order[i]];
    std::copy(sorted.begin(), sorted.end(), list->nodeTab);
    gServiceSorts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void UseServiceSort(_xsltTransformContext* context) noexcept {
    if (context != nullptr) xsltSetCtxtSortFunc(context, SortFunction);
}

std::uint64_t ServiceSorts() noexcept { return gServiceSorts.load(std::memory_order_relaxed); }

}  // namespace xmlservice
