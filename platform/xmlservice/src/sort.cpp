#include "sort.h"

#include "xpath_text.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltlocale.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gServiceSorts{0};

// The sort keys of one xsl:sort for every node of the list, by original position; computed when
// first needed, as libxslt computes a later key only once the earlier ones leave a tie.
class SortKeys {
public:
    SortKeys(xsltTransformContextPtr context, xmlNodePtr* sorts, int count) noexcept
        : context_(context), sorts_(sorts), count_(count), length_(context->nodeList->nodeNr) {}
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
    xmlXPathObjectPtr* Level(int level) noexcept {
        if (level >= count_ || sorts_[level] == nullptr || sorts_[level]->psvi == nullptr) return nullptr;
        auto& results = results_[static_cast<std::size_t>(level)];
        if (results == nullptr && !computed_[static_cast<std::size_t>(level)]) {
            computed_[static_cast<std::size_t>(level)] = true;
            results = xsltComputeSortResult(context_, sorts_[level]);
        }
        return results;
    }

    // Compares the nodes at original positions `a` and `b` as libxslt does: numbers with NaN
    // first, text byte by byte, descending levels reversed, a missing key (its computation
    // failed) last either way, and the original position when every level ties.
    bool Before(int a, int b) noexcept {
        for (int level = 0; level < count_; ++level) {
            xmlXPathObjectPtr* results = Level(level);
            if (results == nullptr) break;
            const auto* style = static_cast<xsltStylePreCompPtr>(sorts_[level]->psvi);
            const xmlXPathObjectPtr first = results[a];
            const xmlXPathObjectPtr second = results[b];
            int order = 0;
            if (first == nullptr || second == nullptr)
                order = first == second ? 0 : (first == nullptr ? 1 : -1);
            else
                order = style->descending != 0 ? -Compare(*first, *second, style->number != 0)
                                               : Compare(*first, *second, style->number != 0);
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
    const int count_;
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
bool IsPure(const xmlChar* select) noexcept {
    if (select == nullptr) return false;
    try {
        const auto called = CalledFunctions(reinterpret_cast<const char*>(select));
        return called && std::all_of(called->begin(), called->end(), [](std::string_view name) {
                   return std::find(std::begin(kPureFunctions), std::end(kPureFunctions), name) !=
                          std::end(kPureFunctions);
               });
    } catch (...) {
        return false;
    }
}

// True when libxslt decides an xsl:sort's data type, order and language only while sorting, or
// sorts by language, or computes the level at a moment that matters; the service leaves those
// sorts to libxslt.
bool NeedsLibxslt(const xsltStylePreComp& style, int level) noexcept {
    return (style.stype == nullptr && style.has_stype != 0) || (style.order == nullptr && style.has_order != 0) ||
           style.has_lang != 0 || style.locale != static_cast<xsltLocale>(0) || (level > 0 && !IsPure(style.select));
}

void SortFunction(xsltTransformContextPtr context, xmlNodePtr* sorts, int count) noexcept {
    if (context == nullptr || sorts == nullptr || count <= 0 || count >= XSLT_MAX_SORT) return;
    const xmlNodeSetPtr list = context->nodeList;
    for (int level = 0; level < count; ++level) {
        const auto* style = sorts[level] != nullptr ? static_cast<xsltStylePreCompPtr>(sorts[level]->psvi) : nullptr;
        if (style == nullptr || NeedsLibxslt(*style, level)) {
            xsltDefaultSortFunction(context, sorts, count);
            return;
        }
    }
    if (list == nullptr || list->nodeNr <= 1) return;

    std::vector<int> order;
    std::vector<xmlNodePtr> sorted;
    try {
        order.resize(static_cast<std::size_t>(list->nodeNr));
        sorted.resize(order.size());
    } catch (...) {
        xsltDefaultSortFunction(context, sorts, count);
        return;
    }
    SortKeys keys(context, sorts, count);
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
