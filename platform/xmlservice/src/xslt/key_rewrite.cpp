#include "xslt/key_rewrite.h"

#include "engine/handles.h"
#include "xslt/xpath_text.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/xsltInternals.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <vector>

namespace xmlservice {
namespace {

// Frees an XPath context (xmlXPathFreeContext).
struct XPathContextDeleter {
    void operator()(xmlXPathContext* context) const noexcept { xmlXPathFreeContext(context); }
};
// Frees a compiled XPath expression (xmlXPathFreeCompExpr).
struct CompiledExpressionDeleter {
    void operator()(xmlXPathCompExpr* expression) const noexcept { xmlXPathFreeCompExpr(expression); }
};
using XPathContextHandle = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using CompiledExpressionHandle = std::unique_ptr<xmlXPathCompExpr, CompiledExpressionDeleter>;
using LibraryString = std::unique_ptr<xmlChar, LibraryMemoryDeleter>;

const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }

// Takes whichever error type the library's structured handlers take: a pointer to a constant
// error since libxml2 2.12, a plain pointer before.
template <class Handler>
struct ErrorArgumentOf;
template <class Error>
struct ErrorArgumentOf<void (*)(void*, Error)> {
    using type = Error;
};
void IgnoreXPathError(void*, ErrorArgumentOf<xmlStructuredErrorFunc>::type) {}

// True when `text` compiles as an XPath expression; the compiler's complaints go nowhere, since
// libxslt reports them itself on the text as it was written.
bool Compiles(const std::string& text) {
    const XPathContextHandle context(xmlXPathNewContext(nullptr));
    if (!context) return false;
    context->error = IgnoreXPathError;
    const CompiledExpressionHandle compiled(xmlXPathCtxtCompile(context.get(), Chars(text.c_str())));
    return compiled != nullptr;
}

struct Edit {
    std::size_t begin;
    std::size_t end;
    std::string_view replacement;
};

}  // namespace

std::string RewriteFirstKeyCalls(std::string_view text, XPathText kind) {
    const std::optional<std::vector<XPathToken>> tokens = TokenizeXPath(text);
    if (!tokens) return std::string(text);
    const auto is = [&](std::size_t index, std::string_view what) {
        const XPathToken& token = (*tokens)[index];
        return text.substr(token.begin, token.end - token.begin) == what;
    };
    // Where each bracket closes, found in one pass, so that a text full of key( calls costs no
    // more than any other text of its length. A bracket never closed closes at the end.
    const std::size_t count = tokens->size();
    std::vector<std::size_t> closing(count, count);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < count; ++i) {
        if ((*tokens)[i].kind != XPathTokenKind::Other) continue;
        if (is(i, "(") || is(i, "[")) {
            open.push_back(i);
        } else if ((is(i, ")") || is(i, "]")) && !open.empty()) {
            closing[open.back()] = i;
            open.pop_back();
        }
    }
    std::vector<Edit> edits;
    int predicateDepth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const XPathToken& token = (*tokens)[i];
        if (token.kind == XPathTokenKind::Other && is(i, "[")) ++predicateDepth;
        if (token.kind == XPathTokenKind::Other && is(i, "]")) --predicateDepth;
        if (token.kind != XPathTokenKind::Name || !is(i, "key")) continue;
        // At the top of a pattern key() is a pattern of its own; after a step it is no call.
        if (kind == XPathText::Pattern && predicateDepth == 0) continue;
        if (i > 0 && (is(i - 1, "/") || is(i - 1, "//") || is(i - 1, "::") || is(i - 1, "@"))) continue;
        if (i + 1 >= count || !is(i + 1, "(")) continue;
        const std::size_t close = closing[i + 1];
        if (close + 3 >= count) continue;
        const XPathToken& number = (*tokens)[close + 2];
        if (!is(close, ")") || !is(close + 1, "[") || number.kind != XPathTokenKind::Number || !is(close + 3, "]"))
            continue;
        double value = 0;
        const auto [end, error] = std::from_chars(text.data() + number.begin, text.data() + number.end, value);
        if (error != std::errc{} || end != text.data() + number.end || value != 1.0) continue;
        edits.push_back({token.begin, token.end, kFirstKeyFunction});
        edits.push_back({(*tokens)[close].end, (*tokens)[close + 3].end, {}});
    }
    if (edits.empty() || !Compiles(std::string(text))) return std::string(text);
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    std::string rewritten;
    rewritten.reserve(text.size() + edits.size() * std::string_view(kFirstKeyFunction).size());
    std::size_t copied = 0;
    for (const Edit& edit : edits) {
        rewritten.append(text.substr(copied, edit.begin - copied));
        rewritten.append(edit.replacement);
        copied = edit.end;
    }
    rewritten.append(text.substr(copied));
    return rewritten;
}

namespace {

// The expressions of an attribute value template rewritten, scanned the way libxslt scans them:
// "{{" and "{}" are no expressions, and a "}" inside a literal does not end one.
std::string RewriteAttributeValueTemplate(std::string_view value) {
    std::string rewritten;
    std::size_t at = 0;
    while (at < value.size()) {
        const std::size_t open = value.find('{', at);
        if (open == std::string_view::npos || open + 1 >= value.size()) break;
        if (value[open + 1] == '{' || value[open + 1] == '}') {
            rewritten.append(value.substr(at, open + 2 - at));
            at = open + 2;
            continue;
        }
        std::size_t close = open + 1;
        while (close < value.size() && value[close] != '}') {
            if (value[close] == '\'' || value[close] == '"') {
                const std::size_t quote = value.find(value[close], close + 1);
                close = quote == std::string_view::npos ? value.size() : quote + 1;
            } else {
                ++close;
            }
        }
        if (close >= value.size()) break;
        rewritten.append(value.substr(at, open + 1 - at));
        rewritten.append(RewriteFirstKeyCalls(value.substr(open + 1, close - open - 1), XPathText::Expression));
        rewritten.push_back('}');
        at = close + 1;
    }
    rewritten.append(value.substr(at));
    return rewritten;
}

enum class AttributeKind { Expression, Pattern, Template };

// The attributes of XSLT instructions that hold XPath; a null element stands for any of them.
struct XsltAttribute {
    const char* element;
    const char* attribute;
    AttributeKind kind;
};
constexpr XsltAttribute kXsltAttributes[] = {
    {nullptr, "select", AttributeKind::Expression},
    {"if", "test", AttributeKind::Expression},
    {"when", "test", AttributeKind::Expression},
    {"number", "value", AttributeKind::Expression},
    {"key", "use", AttributeKind::Expression},
    {"template", "match", AttributeKind::Pattern},
    {"key", "match", AttributeKind::Pattern},
    {"number", "count", AttributeKind::Pattern},
    {"number", "from", AttributeKind::Pattern},
    {"element", "name", AttributeKind::Template},
    {"element", "namespace", AttributeKind::Template},
    {"attribute", "name", AttributeKind::Template},
    {"attribute", "namespace", AttributeKind::Template},
    {"processing-instruction", "name", AttributeKind::Template},
    {"number", "format", AttributeKind::Template},
    {"number", "lang", AttributeKind::Template},
    {"number", "letter-value", AttributeKind::Template},
    {"number", "grouping-separator", AttributeKind::Template},
    {"number", "grouping-size", AttributeKind::Template},
    {"sort", "lang", AttributeKind::Template},
    {"sort", "data-type", AttributeKind::Template},
    {"sort", "order", AttributeKind::Template},
    {"sort", "case-order", AttributeKind::Template},
};

bool InXslt(const xmlNode* node) noexcept {
    return node->ns != nullptr && xmlStrEqual(node->ns->href, XSLT_NAMESPACE) != 0;
}

// Rewrites one attribute in place; attributes that are more than one text node are left alone.
void RewriteAttribute(xmlAttr& attribute, AttributeKind kind) {
    const xmlNode* text = attribute.children;
    if (text == nullptr || text->type != XML_TEXT_NODE || text->next != nullptr || text->content == nullptr) return;
    const std::string_view value(reinterpret_cast<const char*>(text->content));
    if (value.find("key") == std::string_view::npos) return;
    const std::string rewritten =
        kind == AttributeKind::Template ? RewriteAttributeValueTemplate(value)
                                        : RewriteFirstKeyCalls(value, kind == AttributeKind::Pattern ? XPathText::Pattern
                                                                                                     : XPathText::Expression);
    if (rewritten != value) (void)xmlSetNsProp(attribute.parent, attribute.ns, attribute.name, Chars(rewritten.c_str()));
}

// The namespaces that a list of extension-element prefixes on `element` names.
void AddExtensionNamespaces(xmlNode* element, const xmlChar* prefixes, std::vector<std::string>& namespaces) {
    if (prefixes == nullptr) return;
    const std::string_view list(reinterpret_cast<const char*>(prefixes));
    std::size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && IsXPathSpace(list[at])) ++at;
        std::size_t end = at;
        while (end < list.size() && !IsXPathSpace(list[end])) ++end;
        if (end > at) {
            const std::string prefix(list.substr(at, end - at));
            const xmlNs* found =
                xmlSearchNs(element->doc, element, prefix == "#default" ? nullptr : Chars(prefix.c_str()));
            if (found != nullptr && found->href != nullptr)
                namespaces.emplace_back(reinterpret_cast<const char*>(found->href));
        }
        at = end;
    }
}

// Walks template content: XSLT instructions get their XPath attributes rewritten, literal
// result elements the attribute value templates of their attributes. Extension elements keep
// their own attributes, whose meaning only their extension knows.
void RewriteTemplateContent(xmlNode* element, const std::vector<std::string>& extensionNamespaces) {
    std::vector<std::string> ownNamespaces;
    const std::vector<std::string>* namespaces = &extensionNamespaces;
    if (InXslt(element)) {
        for (xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
            if (attribute->ns != nullptr) continue;
            for (const XsltAttribute& known : kXsltAttributes) {
                if ((known.element == nullptr || xmlStrEqual(element->name, Chars(known.element)) != 0) &&
                    xmlStrEqual(attribute->name, Chars(known.attribute)) != 0) {
                    RewriteAttribute(*attribute, known.kind);
                    break;
                }
            }
        }
    } else {
        xmlChar* prefixes = xmlGetNsProp(element, Chars("extension-element-prefixes"), XSLT_NAMESPACE);
        const LibraryString ownedPrefixes(prefixes);
        if (prefixes != nullptr) {
            ownNamespaces = extensionNamespaces;
            AddExtensionNamespaces(element, prefixes, ownNamespaces);
            namespaces = &ownNamespaces;
        }
        const bool isExtension =
            element->ns != nullptr &&
            std::find(namespaces->begin(), namespaces->end(), reinterpret_cast<const char*>(element->ns->href)) !=
                namespaces->end();
        if (!isExtension) {
            for (xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
                if (attribute->ns == nullptr || xmlStrEqual(attribute->ns->href, XSLT_NAMESPACE) == 0)
                    RewriteAttribute(*attribute, AttributeKind::Template);
            }
        }
    }
    for (xmlNode* child = element->children; child != nullptr; child = child->next)
        if (child->type == XML_ELEMENT_NODE) RewriteTemplateContent(child, *namespaces);
}

}  // namespace

void RewriteFirstKeyCalls(_xmlDoc* stylesheet) noexcept {
    xmlNode* root = stylesheet != nullptr ? xmlDocGetRootElement(stylesheet) : nullptr;
    if (root == nullptr) return;
    try {
        // A literal result element as the whole stylesheet is template content throughout.
        if (!InXslt(root)) {
            RewriteTemplateContent(root, {});
            return;
        }
        std::vector<std::string> extensionNamespaces;
        const LibraryString prefixes(xmlGetNoNsProp(root, Chars("extension-element-prefixes")));
        AddExtensionNamespaces(root, prefixes.get(), extensionNamespaces);
        // Top-level elements outside the XSLT namespace are data, not templates.
        for (xmlNode* child = root->children; child != nullptr; child = child->next)
            if (child->type == XML_ELEMENT_NODE && InXslt(child)) RewriteTemplateContent(child, extensionNamespaces);
    } catch (...) {
        // Whatever was rewritten is complete in itself; the rest stays as written.
    }
}

}  // namespace xmlservice
