#include "xslt/value_of.h"

#include "engine/libxslt_fields.h"
#include "xslt/xpath_text.h"

#include <libxml/tree.h>
#include <libxslt/transform.h>

#include <string_view>

namespace xmlservice {
namespace {

// The step a switched instruction takes, told by its select: "@name", "." or "name".
enum class Step { Attribute, Self, Child };

Step StepOf(const xmlChar* select) noexcept {
    if (select[0] == '@') return Step::Attribute;
    if (select[0] == '.') return Step::Self;
    return Step::Child;
}

bool IsSimpleStep(std::string_view select) noexcept {
    if (select == ".") return true;
    if (!select.empty() && select.front() == '@') select.remove_prefix(1);
    return IsChildNameStep(select);
}

// True, with `text` set, when the string value of the step from `node` can be had without XPath
// and without a copy; an empty text when the step selects nothing. XPath's own rules: a name
// without prefix selects children or attributes in no namespace (an attribute whose namespace has
// no prefix counts as in none, as libxml2 has it), and of several children the first.
bool DirectValue(const xmlNode* node, const xmlChar* select, const xmlChar*& text) noexcept {
    switch (StepOf(select)) {
    case Step::Attribute:
        if (node->type != XML_ELEMENT_NODE) return false;
        for (const xmlAttr* attribute = node->properties; attribute != nullptr; attribute = attribute->next)
            if (xmlStrEqual(attribute->name, select + 1) && (attribute->ns == nullptr || attribute->ns->prefix == nullptr))
                return HeldInOnePlace(attribute->children, text);
        return HeldInOnePlace(nullptr, text);
    case Step::Self:
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            text = node->content != nullptr ? node->content : reinterpret_cast<const xmlChar*>("");
            return true;
        }
        return node->type == XML_ELEMENT_NODE && HeldInOnePlace(node->children, text);
    case Step::Child:
        return HasChildStep(node) && ChildStepHeldText(node, select, text);
    }
    return false;
}

// xsltValueOf for the switched instructions: what it writes, without evaluating the select when
// the value is held in one place.
void ValueOfStep(xsltTransformContextPtr context, xmlNodePtr node, xmlNodePtr instruction,
                 xsltElemPreCompPtr compiled) {
    const ValueOfInstruction valueOf = ValueOfFields(compiled);
    const xmlChar* text = nullptr;
    if (context != nullptr && node != nullptr && instruction != nullptr && DirectValue(node, valueOf.select, text)) {
        // As libxslt: an empty string adds no text node.
        if (text[0] != 0) xsltCopyTextString(context, InsertionPointOf(context), text, valueOf.disableOutputEscaping);
        return;
    }
    xsltValueOf(context, node, instruction, compiled);
}

}  // namespace

std::size_t ReadSimpleValueOfsDirectly(xsltStylesheetPtr style) noexcept {
    std::size_t switched = 0;
    for (; style != nullptr; style = xsltNextImport(style)) {
        for (xsltElemPreCompPtr compiled = CompiledInstructionsOf(style); compiled != nullptr;
             compiled = NextCompiledInstruction(compiled)) {
            if (!IsLibxsltValueOf(compiled)) continue;
            const ValueOfInstruction valueOf = ValueOfFields(compiled);
            if (valueOf.select == nullptr || !valueOf.compiled ||
                !IsSimpleStep(reinterpret_cast<const char*>(valueOf.select)))
                continue;
            RunInstructionWith(compiled, ValueOfStep);
            ++switched;
        }
    }
    return switched;
}

}  // namespace xmlservice
