#include "xslt/document_function.h"

#include "engine/handles.h"
#include "engine/libxslt_fields.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/functions.h>

#include <memory>

namespace xmlservice {
namespace {

bool IsNodeSet(const xmlXPathObject& object) noexcept {
    return object.type == XPATH_NODESET || object.type == XPATH_XSLT_TREE;
}

// document(uri) and document(uri, base) with the fragment identifier of a string URI cut off;
// a node-set of URIs is taken node by node, each node the base of its own URI unless a base
// is given, as XSLT 1.0 says and libxslt does.
void DocumentFunction(xmlXPathParserContextPtr parser, int nargs) {
    if (parser == nullptr || nargs < 1 || nargs > 2 || parser->valueNr < nargs) {
        xsltDocumentFunction(parser, nargs);
        return;
    }
    XPathObjectHandle base(nargs == 2 ? valuePop(parser) : nullptr);
    XPathObjectHandle uris(valuePop(parser));
    if (!uris || (base && !IsNodeSet(*base))) {
        // libxslt words the error.
        valuePush(parser, uris.release());
        if (base) valuePush(parser, base.release());
        xsltDocumentFunction(parser, nargs);
        return;
    }
    if (!IsNodeSet(*uris)) {
        std::unique_ptr<xmlChar, LibraryMemoryDeleter> text(xmlXPathCastToString(uris.get()));
        if (!text) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        if (xmlChar* fragment = const_cast<xmlChar*>(xmlStrchr(text.get(), '#'))) *fragment = '\0';
        valuePush(parser, xmlXPathWrapString(text.release()));
        if (base) valuePush(parser, base.release());
        xsltDocumentFunction(parser, nargs);
        return;
    }
    XPathObjectHandle documents(xmlXPathNewNodeSet(nullptr));
    if (!documents) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
        return;
    }
    const xmlNodeSetPtr nodes = uris->nodesetval;
    for (int i = 0; nodes != nullptr && i < nodes->nodeNr; ++i) {
        xmlNodePtr node = nodes->nodeTab[i];
        valuePush(parser, xmlXPathWrapString(xmlXPathCastNodeToString(node)));
        valuePush(parser, base ? xmlXPathObjectCopy(base.get()) : xmlXPathNewNodeSet(node));
        DocumentFunction(parser, 2);
        if (parser->error != XPATH_EXPRESSION_OK) return;
        const XPathObjectHandle loaded(valuePop(parser));
        if (loaded && loaded->nodesetval != nullptr) {
            xmlNodeSetPtr merged = xmlXPathNodeSetMerge(documents->nodesetval, loaded->nodesetval);
            if (merged == nullptr) {
                xmlXPathErr(parser, XPATH_MEMORY_ERROR);
                return;
            }
            documents->nodesetval = merged;
        }
    }
    valuePush(parser, documents.release());
}

}  // namespace

bool RegisterDocumentFunction(_xsltTransformContext* context) noexcept {
    xmlXPathContextPtr xpath = context != nullptr ? XPathContextOf(context) : nullptr;
    if (xpath == nullptr) return false;
    const auto* name = reinterpret_cast<const xmlChar*>("document");
    (void)xmlXPathRegisterFuncNS(xpath, name, nullptr, nullptr);
    return xmlXPathRegisterFuncNS(xpath, name, nullptr, DocumentFunction) == 0;
}

}  // namespace xmlservice
