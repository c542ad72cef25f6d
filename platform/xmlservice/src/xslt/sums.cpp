#include "xslt/sums.h"

#include "engine/handles.h"
#include "engine/libxslt_fields.h"
#include "xslt/expression_rewrite.h"
#include "xslt/xpath_text.h"

#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <memory>

namespace xmlservice {
namespace {

// The number of `node` as XPath reads it: its string value as a number.
double NumberOf(xmlNodePtr node) noexcept {
    const xmlChar* held = nullptr;
    if (HeldInOnePlace(node->children, held)) return xmlXPathCastStringToNumber(held);
    return xmlXPathCastNodeToNumber(node);
}

// kChildSumFunction(nodes, 'name'): what sum(nodes/name) gives. The children are collected as
// libxml2 collects the step, context node after context node, and put in document order by
// libxml2's own sort, so that the numbers are added in the same order, with the same rounding.
// A value that is no node set fails as the step would.
void ChildSumFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    if (argumentCount != 2) {
        xmlXPathErr(parser, XPATH_INVALID_ARITY);
        return;
    }
    const XPathObjectHandle name(valuePop(parser));
    const XPathObjectHandle nodes(valuePop(parser));
    if (!name || !nodes || name->type != XPATH_STRING || name->stringval == nullptr || nodes->type != XPATH_NODESET) {
        xmlXPathErr(parser, XPATH_INVALID_TYPE);
        return;
    }
    double sum = 0;
    const xmlNodeSetPtr parents = nodes->nodesetval;
    if (parents != nullptr && parents->nodeNr > 0) {
        const NodeSetHandle children(xmlXPathNodeSetCreate(nullptr));
        if (!children) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        const ChildStepReadAhead readAhead(*parents, name->stringval);
        bool complete = true;
        for (int i = 0; i < parents->nodeNr && complete; ++i) {
            readAhead.Before(i);
            const xmlNodePtr parent = parents->nodeTab[i];
            if (!HasChildStep(parent)) continue;
            VisitChildStep(parent, name->stringval, [&](const xmlNode* child) {
                complete = xmlXPathNodeSetAddUnique(children.get(), const_cast<xmlNodePtr>(child)) == 0;
                return complete;
            });
        }
        if (!complete) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        xmlXPathNodeSetSort(children.get());
        for (int i = 0; i < children->nodeNr; ++i) sum += NumberOf(children->nodeTab[i]);
    }
    valuePush(parser, xmlXPathNewFloat(sum));
}

}  // namespace

bool RegisterChildSumFunction(_xsltTransformContext* context) noexcept {
    xmlXPathContextPtr xpath = context != nullptr ? XPathContextOf(context) : nullptr;
    return xpath != nullptr &&
           xmlXPathRegisterFuncNS(xpath, reinterpret_cast<const xmlChar*>(kChildSumFunction), nullptr,
                                  ChildSumFunction) == 0;
}

}  // namespace xmlservice
