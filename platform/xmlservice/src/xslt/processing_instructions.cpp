#include "xslt/processing_instructions.h"

#include "engine/call_record.h"
#include "engine/handles.h"
#include "engine/libxslt_fields.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/xsltutils.h>

#include <memory>
#include <string>
#include <vector>

namespace xmlservice {
namespace {

// The variable that holds an instruction's content while the function reads it; '.' keeps it
// apart from any name a stylesheet would choose.
constexpr char kContentVariable[] = "xmlservice.processing-instruction-content";
constexpr char kTextVariable[] = "xmlservice.processing-instruction-text";

struct NodeDeleter {
    void operator()(xmlNode* node) const noexcept { xmlFreeNode(node); }
};

const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }

bool IsXslt(const xmlNode* node) noexcept {
    return node->type == XML_ELEMENT_NODE && node->ns != nullptr && xmlStrEqual(node->ns->href, XSLT_NAMESPACE) != 0;
}

// `text` as an XPath string literal, put together with concat() when it holds both quotes.
std::string Literal(std::string_view text) {
    std::string literal;
    const auto quoted = [&literal](std::string_view piece, char quote) {
        literal.push_back(quote);
        literal.append(piece);
        literal.push_back(quote);
    };
    if (text.find('\'') == std::string_view::npos) {
        quoted(text, '\'');
    } else if (text.find('"') == std::string_view::npos) {
        quoted(text, '"');
    } else {
        literal.append("concat(''");
        std::size_t start = 0;
        for (std::size_t quote = text.find('\''); quote != std::string_view::npos; quote = text.find('\'', start)) {
            literal.append(", ");
            quoted(text.substr(start, quote - start), '\'');
            literal.append(", \"'\"");
            start = quote + 1;
        }
        literal.append(", ");
        quoted(text.substr(start), '\'');
        literal.push_back(')');
    }
    return literal;
}

// A processing instruction's target: an NCName other than "xml" in any case.
bool IsTarget(const xmlChar* name) noexcept {
    if (name == nullptr || xmlValidateNCName(name, 0) != 0) return false;
    return !(xmlStrlen(name) == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l');
}

// The content of a processing instruction, "?>" written as "? >".
std::string Separated(std::string_view text) {
    std::string separated;
    separated.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        separated += text[i];
        if (text[i] == '?' && i + 1 < text.size() && text[i + 1] == '>') separated += ' ';
    }
    return separated;
}

// processing-instruction-text-checked(content, name): the content to write, or a stopped
// transformation when the name cannot be a target.
void ProcessingInstructionText(xmlXPathParserContextPtr parser, int nargs) {
    if (nargs != 2) {
        xmlXPathErr(parser, XPATH_INVALID_ARITY);
        return;
    }
    const std::unique_ptr<xmlChar, LibraryMemoryDeleter> name(xmlXPathPopString(parser));
    const std::unique_ptr<xmlChar, LibraryMemoryDeleter> content(xmlXPathPopString(parser));
    if (!name || !content) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
        return;
    }
    if (!IsTarget(name.get())) {
        if (CallRecord* call = CallRecord::Current()) {
            try {
                call->Add({"The name \"" + std::string(reinterpret_cast<const char*>(name.get())) +
                           "\" of xsl:processing-instruction is not an NCName that can be a processing instruction's "
                           "target"});
            } catch (...) {
                call->Add({"The name of xsl:processing-instruction cannot be a processing instruction's target"});
            }
        }
        StopTransform(xsltXPathGetTransformContext(parser));
        valuePush(parser, xmlXPathNewCString(""));
        return;
    }
    try {
        const std::string text = Separated(reinterpret_cast<const char*>(content.get()));
        valuePush(parser, xmlXPathNewCString(text.c_str()));
    } catch (...) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
    }
}

// Turns <xsl:processing-instruction name="N">CONTENT</xsl:processing-instruction> into
// <xsl:processing-instruction name="N"><xsl:variable name="C">CONTENT</xsl:variable>
// <xsl:variable name="T" select="F(string($C), N as an expression)"/>
// <xsl:if test="string($T)"><xsl:value-of select="$T"/></xsl:if></xsl:processing-instruction>.
void Rewrite(xmlNodePtr instruction) {
    const std::unique_ptr<xmlChar, LibraryMemoryDeleter> name(xmlGetNoNsProp(instruction, Chars("name")));
    std::string nameExpression;
    if (!name || !ExpressionOfTemplate(reinterpret_cast<const char*>(name.get()), nameExpression)) return;
    const bool hasContent = instruction->children != nullptr;
    if (!hasContent) {
        // An instruction without content writes none (not even the space before it), so the
        // name is checked by an empty xsl:if in front of it.
        const std::string check = std::string(kProcessingInstructionTextFunction) + "('', " + nameExpression + ")";
        std::unique_ptr<xmlNode, NodeDeleter> guard(xmlNewDocNode(instruction->doc, instruction->ns, Chars("if"), nullptr));
        if (!guard || xmlNewProp(guard.get(), Chars("test"), Chars(check.c_str())) == nullptr) return;
        (void)xmlAddPrevSibling(instruction, guard.release());
        return;
    }
    const std::string content = std::string("string($") + kContentVariable + ")";
    const std::string select = std::string(kProcessingInstructionTextFunction) + "(" + content + ", " + nameExpression + ")";
    const std::string text = std::string("$") + kTextVariable;
    const std::string test = "string(" + text + ")";

    xmlDocPtr doc = instruction->doc;
    xmlNsPtr ns = instruction->ns;
    std::unique_ptr<xmlNode, NodeDeleter> contentVariable(xmlNewDocNode(doc, ns, Chars("variable"), nullptr));
    std::unique_ptr<xmlNode, NodeDeleter> textVariable(xmlNewDocNode(doc, ns, Chars("variable"), nullptr));
    std::unique_ptr<xmlNode, NodeDeleter> condition(xmlNewDocNode(doc, ns, Chars("if"), nullptr));
    xmlNodePtr valueOf = xmlNewDocNode(doc, ns, Chars("value-of"), nullptr);
    if (!contentVariable || !textVariable || !condition || valueOf == nullptr) {
        xmlFreeNode(valueOf);
        return;
    }
    (void)xmlAddChild(condition.get(), valueOf);
    if (xmlNewProp(contentVariable.get(), Chars("name"), Chars(kContentVariable)) == nullptr ||
        xmlNewProp(textVariable.get(), Chars("name"), Chars(kTextVariable)) == nullptr ||
        xmlNewProp(textVariable.get(), Chars("select"), Chars(select.c_str())) == nullptr ||
        xmlNewProp(condition.get(), Chars("test"), Chars(test.c_str())) == nullptr ||
        xmlNewProp(valueOf, Chars("select"), Chars(text.c_str())) == nullptr)
        return;
    // The content moves into its variable as it is.
    while (xmlNodePtr child = instruction->children) {
        xmlUnlinkNode(child);
        (void)xmlAddChild(contentVariable.get(), child);
    }
    (void)xmlAddChild(instruction, contentVariable.release());
    (void)xmlAddChild(instruction, textVariable.release());
    (void)xmlAddChild(instruction, condition.release());
}

}  // namespace

bool ExpressionOfTemplate(std::string_view avt, std::string& expression) {
    std::vector<std::string> parts;
    std::string literal;
    for (std::size_t i = 0; i < avt.size(); ++i) {
        const char c = avt[i];
        if ((c == '{' || c == '}') && i + 1 < avt.size() && avt[i + 1] == c) {
            literal += c;
            ++i;
        } else if (c == '}') {
            return false;
        } else if (c == '{') {
            // The expression runs to the first '}' outside its string literals.
            std::size_t end = i + 1;
            char quote = 0;
            for (; end < avt.size(); ++end) {
                if (quote != 0) {
                    if (avt[end] == quote) quote = 0;
                } else if (avt[end] == '\'' || avt[end] == '"') {
                    quote = avt[end];
                } else if (avt[end] == '}') {
                    break;
                }
            }
            if (end >= avt.size()) return false;
            if (!literal.empty()) parts.push_back(Literal(literal));
            literal.clear();
            parts.push_back("string(" + std::string(avt.substr(i + 1, end - i - 1)) + ")");
            i = end;
        } else {
            literal += c;
        }
    }
    if (!literal.empty() || parts.empty()) parts.push_back(Literal(literal));
    expression = "concat(";
    for (const std::string& part : parts) expression += part + ", ";
    expression += "'')";
    return true;
}

void RewriteProcessingInstructions(_xmlDoc* stylesheet) noexcept {
    if (stylesheet == nullptr) return;
    try {
        std::vector<xmlNodePtr> instructions;
        // Depth first without recursion: a stylesheet may nest deeply.
        xmlNodePtr node = xmlDocGetRootElement(stylesheet);
        while (node != nullptr) {
            if (IsXslt(node) && xmlStrEqual(node->name, Chars("processing-instruction")) != 0) instructions.push_back(node);
            if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
                node = node->children;
                continue;
            }
            while (node != nullptr && node->next == nullptr) {
                node = node->parent;
                if (node == nullptr || node->type == XML_DOCUMENT_NODE) node = nullptr;
            }
            if (node != nullptr) node = node->next;
        }
        for (xmlNodePtr instruction : instructions) Rewrite(instruction);
    } catch (...) {
    }
}

bool RegisterProcessingInstructionFunction(_xsltTransformContext* context) noexcept {
    xmlXPathContextPtr xpath = context != nullptr ? XPathContextOf(context) : nullptr;
    return xpath != nullptr &&
           xmlXPathRegisterFuncNS(xpath, Chars(kProcessingInstructionTextFunction), nullptr, ProcessingInstructionText) == 0;
}

}  // namespace xmlservice
