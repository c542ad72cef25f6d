#include "xslt/ids.h"

#include "engine/budget_allocator.h"
#include "engine/libxslt_fields.h"
#include "xslt/transformation_local.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/functions.h>
#include <libxslt/extensions.h>
#include <libxslt/xsltutils.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gIdsGiven{0};

}  // namespace

class GeneratedIds : public TransformationLocal<GeneratedIds> {
public:
    explicit GeneratedIds(xsltTransformContextPtr context) noexcept : TransformationLocal(context) {}

    // The id number of `node`, the next number when it has none yet; 0 when the numbers are
    // used up. May throw std::bad_alloc.
    unsigned long IdOf(xmlNodePtr node) {
        unsigned long* id = Slot(node);
        if (id == nullptr) {
            // A node of a result tree fragment keeps its number itself: the fragment may be
            // freed while the transformation runs, and its memory given to new nodes.
            void** own = node->type == XML_ATTRIBUTE_NODE ? &reinterpret_cast<xmlAttrPtr>(node)->_private
                                                          : &node->_private;
            if (*own == nullptr) {
                if (next_ == ULONG_MAX) return 0;
                *own = reinterpret_cast<void*>(static_cast<std::uintptr_t>(++next_));
            }
            return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(*own));
        }
        if (*id == 0) {
            if (next_ == ULONG_MAX) return 0;
            *id = ++next_;
        }
        return *id;
    }

private:
    // Where the number of `node` is kept in the table; null for a node that keeps it itself.
    unsigned long* Slot(xmlNodePtr node) {
        const bool ownsSlot = node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE ||
                              node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE ||
                              node->type == XML_PI_NODE || node->type == XML_COMMENT_NODE;
        if (ownsSlot && node->doc != nullptr && XSLT_IS_RES_TREE_FRAG(node->doc)) return nullptr;
        // Documents and the nodes of documents that live as long as the transformation. (A
        // fragment's own document node is numbered here too: it has no slot free for it.)
        return &numbers_[node];
    }

    // Grows with the nodes asked for, so its memory is counted by the budget.
    CountedMap<const xmlNode*, unsigned long> numbers_;
    unsigned long next_ = 0;
};

void GeneratedIdsDeleter::operator()(GeneratedIds* ids) const noexcept { delete ids; }

namespace {

// What an id is made of: a node of a tree, and for a namespace node the prefix it stands for on
// that element.
struct IdSubject {
    xmlNodePtr node = nullptr;
    bool isNamespace = false;
    std::string prefix;
};

// The subject of `node`. A namespace node of XPath is a copy that its node-set owns, with its
// element in next; so it is read before that node-set goes.
bool SubjectOf(xmlNodePtr node, IdSubject& subject) {
    if (node == nullptr) return false;
    if (node->type != XML_NAMESPACE_DECL) {
        subject.node = node;
        return true;
    }
    const auto* space = reinterpret_cast<xmlNsPtr>(node);
    const auto* element = reinterpret_cast<xmlNodePtr>(space->next);
    if (element == nullptr || element->type != XML_ELEMENT_NODE) return false;
    subject.node = const_cast<xmlNodePtr>(element);
    subject.isNamespace = true;
    if (space->prefix != nullptr) subject.prefix = reinterpret_cast<const char*>(space->prefix);
    return true;
}

// generate-id() with libxslt's arguments, messages and forms of id: "id" and the number, and for
// a namespace node its element's number, "ns" and the prefix in hexadecimal, since only ASCII
// letters and digits may appear.
void GenerateId(xmlXPathParserContextPtr parser, int argumentCount) {
    xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
    GeneratedIds* ids = GeneratedIds::Of(context);
    if (ids == nullptr) {
        xsltGenerateIdFunction(parser, argumentCount);
        return;
    }
    IdSubject subject;
    bool found = false;
    if (argumentCount == 0) {
        found = SubjectOf(parser->context->node, subject);
    } else if (argumentCount == 1) {
        if (parser->value == nullptr || parser->value->type != XPATH_NODESET) {
            parser->error = XPATH_INVALID_TYPE;
            xsltTransformError(context, nullptr, nullptr, "generate-id() : invalid arg expecting a node-set\n");
            return;
        }
        xmlXPathObjectPtr argument = valuePop(parser);
        const xmlNodeSetPtr nodes = argument->nodesetval;
        if (nodes == nullptr || nodes->nodeNr == 0) {
            xmlXPathFreeObject(argument);
            valuePush(parser, xmlXPathNewCString(""));
            return;
        }
        // The first node in document order.
        xmlNodePtr first = nodes->nodeTab[0];
        for (int i = 1; i < nodes->nodeNr; ++i)
            if (xmlXPathCmpNodes(first, nodes->nodeTab[i]) == -1) first = nodes->nodeTab[i];
        try {
            found = SubjectOf(first, subject);
        } catch (...) {
            xmlXPathFreeObject(argument);
            throw;
        }
        xmlXPathFreeObject(argument);
    } else {
        xsltTransformError(context, nullptr, nullptr, "generate-id() : invalid number of args %d\n", argumentCount);
        parser->error = XPATH_INVALID_ARITY;
        return;
    }
    if (!found) {
        xmlXPathErr(parser, XPATH_INVALID_CTXT);
        return;
    }

    const unsigned long id = ids->IdOf(subject.node);
    if (id == 0) {
        xsltTransformError(context, nullptr, nullptr, "generate-id(): id overflow\n");
        parser->error = XPATH_MEMORY_ERROR;
        return;
    }
    const std::size_t size = 30 + (subject.isNamespace ? 2 * subject.prefix.size() + 2 : 0);
    auto* text = static_cast<char*>(xmlMalloc(size));
    if (text == nullptr) throw std::bad_alloc();
    int length = std::snprintf(text, size, subject.isNamespace ? "id%luns" : "id%lu", id);
    for (const char c : subject.prefix) {
        constexpr char kDigits[] = "0123456789ABCDEF";
        const auto byte = static_cast<unsigned char>(c);
        text[length++] = kDigits[byte >> 4];
        text[length++] = kDigits[byte & 15];
    }
    text[length] = '\0';
    gIdsGiven.fetch_add(1, std::memory_order_relaxed);
    valuePush(parser, xmlXPathWrapString(reinterpret_cast<xmlChar*>(text)));
}

void GenerateIdFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    try {
        GenerateId(parser, argumentCount);
    } catch (...) {
        xsltTransformError(xsltXPathGetTransformContext(parser), nullptr, nullptr, "generate-id(): out of memory\n");
        parser->error = XPATH_MEMORY_ERROR;
    }
}

}  // namespace

GeneratedIdsHandle RegisterGenerateId(_xsltTransformContext* context) noexcept {
    xmlXPathContextPtr xpath = context != nullptr ? XPathContextOf(context) : nullptr;
    if (xpath == nullptr) return nullptr;
    GeneratedIdsHandle ids(new (std::nothrow) GeneratedIds(context));
    if (!ids) return nullptr;
    const auto* name = reinterpret_cast<const xmlChar*>("generate-id");
    (void)xmlXPathRegisterFuncNS(xpath, name, nullptr, nullptr);
    if (xmlXPathRegisterFuncNS(xpath, name, nullptr, GenerateIdFunction) != 0) return nullptr;
    return ids;
}

std::uint64_t GeneratedIdsGiven() noexcept { return gIdsGiven.load(std::memory_order_relaxed); }

}  // namespace xmlservice
