#include "xslt/expression_rewrite.h"

#include "engine/budget_allocator.h"
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
#include <string_view>
#include <utility>

namespace xmlservice {
namespace {

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
bool Compiles(const CountedString& text) {
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

// The text of token `index`.
std::string_view TokenText(std::string_view text, const CountedVector<XPathToken>& tokens, std::size_t index) {
    return text.substr(tokens[index].begin, tokens[index].end - tokens[index].begin);
}

// True when token `index` calls the core function `name`: that name with an opening bracket after
// it and no step or axis before it, where it would be a name test.
bool CallsCoreFunction(std::string_view text, const CountedVector<XPathToken>& tokens, std::size_t index,
                       std::string_view name) {
    const auto is = [&](std::size_t at, std::string_view what) { return TokenText(text, tokens, at) == what; };
    if (tokens[index].kind != XPathTokenKind::Name || !is(index, name)) return false;
    if (index + 1 >= tokens.size() || !is(index + 1, "(")) return false;
    return index == 0 || !(is(index - 1, "/") || is(index - 1, "//") || is(index - 1, "::") || is(index - 1, "@"));
}

// `text` with `edits` made, when it compiles as XPath as it is; `text` itself otherwise.
CountedString Applied(std::string_view text, CountedVector<Edit>& edits) {
    if (edits.empty() || !Compiles(CountedString(text))) return CountedString(text);
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    std::size_t added = 0;
    for (const Edit& edit : edits) added += edit.replacement.size();
    CountedString rewritten;
    rewritten.reserve(text.size() + added);
    std::size_t copied = 0;
    for (const Edit& edit : edits) {
        rewritten.append(text.substr(copied, edit.begin - copied));
        rewritten.append(edit.replacement);
        copied = edit.end;
    }
    rewritten.append(text.substr(copied));
    return rewritten;
}

}  // namespace

CountedString RewriteFirstKeyCalls(std::string_view text, XPathText kind) {
    const std::optional<CountedVector<XPathToken>> tokens = TokenizeXPath(text);
    if (!tokens) return CountedString(text);
    const auto is = [&](std::size_t index, std::string_view what) { return TokenText(text, *tokens, index) == what; };
    // Where each bracket closes, found in one pass, so that a text full of key( calls costs no
    // more than any other text of its length. A bracket never closed closes at the end.
    const std::size_t count = tokens->size();
    CountedVector<std::size_t> closing(count, count);
    CountedVector<std::size_t> open;
    for (std::size_t i = 0; i < count; ++i) {
        if ((*tokens)[i].kind != XPathTokenKind::Other) continue;
        if (is(i, "(") || is(i, "[")) {
            open.push_back(i);
        } else if ((is(i, ")") || is(i, "]")) && !open.empty()) {
            closing[open.back()] = i;
            open.pop_back();
        }
    }
    CountedVector<Edit> edits;
    int predicateDepth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const XPathToken& token = (*tokens)[i];
        if (token.kind == XPathTokenKind::Other && is(i, "[")) ++predicateDepth;
        if (token.kind == XPathTokenKind::Other && is(i, "]")) --predicateDepth;
        if (!CallsCoreFunction(text, *tokens, i, "key")) continue;
        // At the top of a pattern key() is a pattern of its own.
        if (kind == XPathText::Pattern && predicateDepth == 0) continue;
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
    return Applied(text, edits);
}

CountedString RewriteChildSums(std::string_view text) {
    const std::optional<CountedVector<XPathToken>> tokens = TokenizeXPath(text);
    if (!tokens) return CountedString(text);
    const auto is = [&](std::size_t index, std::string_view what) { return TokenText(text, *tokens, index) == what; };
    const auto kindOf = [&](std::size_t index) { return (*tokens)[index].kind; };
    CountedVector<Edit> edits;
    for (std::size_t i = 0; i + 5 < tokens->size(); ++i) {
        // sum ( $variable / name )
        if (!CallsCoreFunction(text, *tokens, i, "sum")) continue;
        if (kindOf(i + 2) != XPathTokenKind::Variable || !is(i + 3, "/") || kindOf(i + 4) != XPathTokenKind::Name ||
            !is(i + 5, ")"))
            continue;
        const XPathToken& name = (*tokens)[i + 4];
        const std::string_view step = text.substr(name.begin, name.end - name.begin);
        if (!IsChildNameStep(step)) continue;
        // "/ name" becomes ", 'name'": the slash and the space after it give way to the opening
        // quote, and the closing one follows the name.
        edits.push_back({(*tokens)[i].begin, (*tokens)[i].end, kChildSumFunction});
        edits.push_back({(*tokens)[i + 3].begin, name.begin, ", '"});
        edits.push_back({name.end, name.end, "'"});
        i += 5;
    }
    return Applied(text, edits);
}

namespace {

// An expression with both rewrites made.
CountedString RewriteExpression(std::string_view text) {
    CountedString rewritten = text.find("key") != std::string_view::npos
                                  ? RewriteFirstKeyCalls(text, XPathText::Expression)
                                  : CountedString(text);
    if (std::string_view(rewritten).find("sum") != std::string_view::npos) rewritten = RewriteChildSums(rewritten);
    return rewritten;
}

// The expressions of an attribute value template rewritten, scanned the way libxslt scans them:
// "{{" and "{}" are no expressions, and a "}" inside a literal does not end one.
CountedString RewriteAttributeValueTemplate(std::string_view value) {
    CountedString rewritten;
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
        rewritten.append(RewriteExpression(value.substr(open + 1, close - open - 1)));
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
    if (value.find("key") == std::string_view::npos && value.find("sum") == std::string_view::npos) return;
    CountedString rewritten;
    switch (kind) {
    case AttributeKind::Template:
        rewritten = RewriteAttributeValueTemplate(value);
        break;
    case AttributeKind::Pattern:
        rewritten = RewriteFirstKeyCalls(value, XPathText::Pattern);
        break;
    case AttributeKind::Expression:
        rewritten = RewriteExpression(value);
        break;
    }
    if (std::string_view(rewritten) != value) (void)xmlSetNsProp(attribute.parent, attribute.ns, attribute.name, Chars(rewritten.c_str()));
}

std::string_view View(const xmlChar* text) noexcept {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// A walk over template content that keeps, along the path from the stylesheet's root to the
// element it is at, the namespace declarations in scope and the namespaces named as extension
// elements' ones. Each element adds what it declares and takes it away again when its content is
// done, so the walk costs the size of the stylesheet however deep the elements nest and however
// long their lists grow, and it holds no more than one path's declarations at a time.
class TemplateWalk {
public:
    // Brings the declarations of `element` into scope, as the parent of what is walked next.
    void EnterScope(const xmlNode* element) { Declare(element); }

    // The list of extension-element prefixes on the stylesheet's root, `prefixes` (may be null),
    // as resolved on `root`, whose declarations are in scope.
    void AddExtensionPrefixes(const xmlChar* prefixes) { AddExtensionNamespaces(prefixes); }

    // Walks template content: XSLT instructions get their XPath attributes rewritten, literal
    // result elements the attribute value templates of their attributes. Extension elements
    // keep their own attributes, whose meaning only their extension knows.
    void Walk(xmlNode* element) {
        const std::size_t scopeMark = shadowed_.size();
        const std::size_t extensionMark = extensionsAdded_.size();
        Declare(element);
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
            for (xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
                if (attribute->ns == nullptr || xmlStrEqual(attribute->ns->href, XSLT_NAMESPACE) == 0 ||
                    xmlStrEqual(attribute->name, Chars("extension-element-prefixes")) == 0)
                    continue;
                const LibraryString prefixes(xmlNodeGetContent(reinterpret_cast<xmlNode*>(attribute)));
                AddExtensionNamespaces(prefixes.get());
            }
            const bool isExtension = element->ns != nullptr && extensions_.count(View(element->ns->href)) != 0;
            if (!isExtension) {
                for (xmlAttr* attribute = element->properties; attribute != nullptr; attribute = attribute->next) {
                    if (attribute->ns == nullptr || xmlStrEqual(attribute->ns->href, XSLT_NAMESPACE) == 0)
                        RewriteAttribute(*attribute, AttributeKind::Template);
                }
            }
        }
        for (xmlNode* child = element->children; child != nullptr; child = child->next)
            if (child->type == XML_ELEMENT_NODE) Walk(child);
        Leave(scopeMark, extensionMark);
    }

private:
    // The namespace bound to `prefix` ("" for the default namespace) where the walk is; null
    // when there is none.
    const xmlNs* Lookup(std::string_view prefix) const {
        if (prefix == "xml") return nullptr;
        const auto bound = inScope_.find(prefix);
        return bound != inScope_.end() ? bound->second : nullptr;
    }

    void Declare(const xmlNode* element) {
        for (const xmlNs* space = element->nsDef; space != nullptr; space = space->next) {
            const std::string_view prefix = View(space->prefix);
            const auto [bound, added] = inScope_.try_emplace(prefix, space);
            shadowed_.emplace_back(prefix, added ? nullptr : std::exchange(bound->second, space));
        }
    }

    // The namespaces that a list of extension-element prefixes names, for the rest of the walk
    // below the element that holds it.
    void AddExtensionNamespaces(const xmlChar* prefixes) {
        const std::string_view list = View(prefixes);
        std::size_t at = 0;
        while (at < list.size()) {
            while (at < list.size() && IsXPathSpace(list[at])) ++at;
            std::size_t end = at;
            while (end < list.size() && !IsXPathSpace(list[end])) ++end;
            if (end > at) {
                const std::string_view prefix = list.substr(at, end - at);
                const xmlNs* found = Lookup(prefix == "#default" ? std::string_view() : prefix);
                if (found != nullptr && found->href != nullptr) {
                    const std::string_view uri = View(found->href);
                    ++extensions_[uri];
                    extensionsAdded_.push_back(uri);
                }
            }
            at = end;
        }
    }

    // Takes back what was declared and named since the marks.
    void Leave(std::size_t scopeMark, std::size_t extensionMark) {
        while (shadowed_.size() > scopeMark) {
            const auto& [prefix, previous] = shadowed_.back();
            if (previous == nullptr) {
                inScope_.erase(prefix);
            } else {
                inScope_.find(prefix)->second = previous;
            }
            shadowed_.pop_back();
        }
        while (extensionsAdded_.size() > extensionMark) {
            const auto named = extensions_.find(extensionsAdded_.back());
            if (--named->second == 0) extensions_.erase(named);
            extensionsAdded_.pop_back();
        }
    }

    // Prefix to its innermost declaration; the views point into the stylesheet's tree, which
    // outlives the walk.
    CountedMap<std::string_view, const xmlNs*> inScope_;
    // Each declaration made along the path, with the one it hides (null for none), so that
    // leaving an element restores the scope of its parent.
    CountedVector<std::pair<std::string_view, const xmlNs*>> shadowed_;
    // Extension namespaces along the path, with how many lists name each.
    CountedMap<std::string_view, std::size_t> extensions_;
    CountedVector<std::string_view> extensionsAdded_;
};

}  // namespace

void RewriteExpressions(_xmlDoc* stylesheet) noexcept {
    xmlNode* root = stylesheet != nullptr ? xmlDocGetRootElement(stylesheet) : nullptr;
    if (root == nullptr) return;
    try {
        TemplateWalk walk;
        // A literal result element as the whole stylesheet is template content throughout.
        if (!InXslt(root)) {
            walk.Walk(root);
            return;
        }
        walk.EnterScope(root);
        const LibraryString prefixes(xmlGetNoNsProp(root, Chars("extension-element-prefixes")));
        walk.AddExtensionPrefixes(prefixes.get());
        // Top-level elements outside the XSLT namespace are data, not templates.
        for (xmlNode* child = root->children; child != nullptr; child = child->next)
            if (child->type == XML_ELEMENT_NODE && InXslt(child)) walk.Walk(child);
    } catch (...) {
        // Whatever was rewritten is complete in itself; the rest stays as written.
    }
}

}  // namespace xmlservice
