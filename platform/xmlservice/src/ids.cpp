#include "ids.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/functions.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <new>
#include <unordered_map>
#include <vector>

namespace xmlservice {

class GeneratedIds {
public:
    GeneratedIds(xsltTransformContextPtr context, xmlDocPtr source) noexcept : context_(context), source_(source) {}
    ~GeneratedIds() {
        if (context_->_private == this) context_->_private = nullptr;
    }
    GeneratedIds(const GeneratedIds&) = delete;
    GeneratedIds& operator=(const GeneratedIds&) = delete;

    xmlDocPtr Source() const noexcept { return source_; }

    // The id number of a source node, the next of the transformation's numbers when it has none
    // yet; 0 when the numbers are used up. May throw std::bad_alloc.
    unsigned long IdOf(xmlNodePtr node) {
        // libxml2 keeps an element's place in document order, negated, in its content.
        const auto place = node->type == XML_ELEMENT_NODE ? -reinterpret_cast<std::ptrdiff_t>(node->content) : 0;
        unsigned long* id = nullptr;
        if (place > 0) {
            const auto index = static_cast<std::size_t>(place);
            if (index >= elementIds_.size()) elementIds_.resize(std::max(index + 1, 2 * elementIds_.size()), 0);
            id = &elementIds_[index];
        } else {
            id = &otherIds_[node];
        }
        if (*id == 0) {
            // One numbering with libxslt's ids of other documents, as in libxslt alone.
            if (context_->currentId == ULONG_MAX) return 0;
            *id = ++context_->currentId;
        }
        return *id;
    }

private:
    xsltTransformContextPtr const context_;
    xmlDocPtr const source_;
    // Indexed by document order; 0 for an element without an id.
    std::vector<unsigned long> elementIds_;
    std::unordered_map<const xmlNode*, unsigned long> otherIds_;
};

void GeneratedIdsDeleter::operator()(GeneratedIds* ids) const noexcept { delete ids; }

namespace {

std::atomic<std::uint64_t> gIdsGiven{0};

// The document a node belongs to, as libxslt's generate-id() finds it; null for other kinds.
xmlDocPtr OwnerOf(xmlNodePtr node) noexcept {
    switch (node->type) {
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
        return reinterpret_cast<xmlDocPtr>(node);
    case XML_ATTRIBUTE_NODE:
        return reinterpret_cast<xmlAttrPtr>(node)->doc;
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_PI_NODE:
    case XML_COMMENT_NODE:
        return node->doc;
    default:
        return nullptr;
    }
}

// generate-id() as libxslt answers it. Nodes of the source document get their ids here; every
// other case, errors included, goes to libxslt's own function with the arguments untouched.
void GenerateIdFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
    auto* ids = context != nullptr ? static_cast<GeneratedIds*>(context->_private) : nullptr;
    xmlNodePtr node = nullptr;
    if (argumentCount == 0) {
        node = parser->context->node;
    } else if (argumentCount == 1 && parser->value != nullptr && parser->value->type == XPATH_NODESET &&
               parser->value->nodesetval != nullptr && parser->value->nodesetval->nodeNr > 0) {
        // The first node in document order, found as libxslt finds it.
        const xmlNodeSetPtr nodes = parser->value->nodesetval;
        node = nodes->nodeTab[0];
        for (int i = 1; i < nodes->nodeNr; ++i)
            if (xmlXPathCmpNodes(node, nodes->nodeTab[i]) == -1) node = nodes->nodeTab[i];
    }
    // A namespace node's id is its element's id with its prefix; XPath keeps the element in next.
    const xmlChar* prefix = nullptr;
    if (node != nullptr && node->type == XML_NAMESPACE_DECL) {
        const auto* space = reinterpret_cast<xmlNsPtr>(node);
        prefix = space->prefix != nullptr ? space->prefix : reinterpret_cast<const xmlChar*>("");
        node = reinterpret_cast<xmlNodePtr>(space->next);
    }
    if (ids == nullptr || node == nullptr || OwnerOf(node) != ids->Source()) {
        xsltGenerateIdFunction(parser, argumentCount);
        return;
    }

    unsigned long id = 0;
    try {
        id = ids->IdOf(node);
    } catch (...) {
        xsltGenerateIdFunction(parser, argumentCount);
        return;
    }
    if (argumentCount == 1) xmlXPathFreeObject(valuePop(parser));
    if (id == 0) {
        xsltTransformError(context, nullptr, nullptr, "generate-id(): id overflow\n");
        parser->error = XPATH_MEMORY_ERROR;
        return;
    }
    const std::size_t prefixLength = prefix != nullptr ? static_cast<std::size_t>(xmlStrlen(prefix)) : 0;
    const std::size_t size = 30 + (prefix != nullptr ? 2 * prefixLength + 2 : 0);
    auto* text = static_cast<char*>(xmlMalloc(size));
    if (text == nullptr) {
        xsltTransformError(context, nullptr, nullptr, "generate-id(): out of memory\n");
        parser->error = XPATH_MEMORY_ERROR;
        return;
    }
    int length = std::snprintf(text, size, prefix != nullptr ? "id%luns" : "id%lu", id);
    // Only ASCII letters and digits are allowed in an id, so the prefix is written in hexadecimal.
    for (std::size_t i = 0; i < prefixLength; ++i) {
        constexpr char kDigits[] = "0123456789ABCDEF";
        text[length++] = kDigits[prefix[i] >> 4];
        text[length++] = kDigits[prefix[i] & 15];
    }
    text[length] = '\0';
    gIdsGiven.fetch_add(1, std::memory_order_relaxed);
    valuePush(parser, xmlXPathWrapString(reinterpret_cast<xmlChar*>(text)));
}

}  // namespace

GeneratedIdsHandle RegisterGenerateId(_xsltTransformContext* context) noexcept {
    if (context == nullptr || context->xpathCtxt == nullptr || context->document == nullptr ||
        context->_private != nullptr)
        return nullptr;
    GeneratedIdsHandle ids(new (std::nothrow) GeneratedIds(context, context->document->doc));
    if (!ids) return nullptr;
    const auto* name = reinterpret_cast<const xmlChar*>("generate-id");
    (void)xmlXPathRegisterFuncNS(context->xpathCtxt, name, nullptr, nullptr);
    if (xmlXPathRegisterFuncNS(context->xpathCtxt, name, nullptr, GenerateIdFunction) != 0) return nullptr;
    context->_private = ids.get();
    return ids;
}

std::uint64_t GeneratedIdsGiven() noexcept { return gIdsGiven.load(std::memory_order_relaxed); }

}  // namespace xmlservice
