#include "keys.h"

#include "handles.h"
#include "xpath_text.h"

#include <libxml/hash.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/documents.h>
#include <libxslt/extensions.h>
#include <libxslt/imports.h>
#include <libxslt/keys.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gKeyNodeWork{0};

void CountWork(std::uint64_t nodes) noexcept { gKeyNodeWork.fetch_add(nodes, std::memory_order_relaxed); }

// Frees an XPath value (xmlXPathFreeObject).
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* object) const noexcept { xmlXPathFreeObject(object); }
};
// Frees an XPath context (xmlXPathFreeContext).
struct XPathContextDeleter {
    void operator()(xmlXPathContext* context) const noexcept { xmlXPathFreeContext(context); }
};
// Frees a compiled XPath expression (xmlXPathFreeCompExpr).
struct CompiledExpressionDeleter {
    void operator()(xmlXPathCompExpr* expression) const noexcept { xmlXPathFreeCompExpr(expression); }
};
// Frees a node set together with its table (xmlXPathFreeNodeSet).
struct NodeSetDeleter {
    void operator()(xmlNodeSet* set) const noexcept { xmlXPathFreeNodeSet(set); }
};
using XPathObjectHandle = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;
using XPathContextHandle = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using CompiledExpressionHandle = std::unique_ptr<xmlXPathCompExpr, CompiledExpressionDeleter>;
using NodeSetHandle = std::unique_ptr<xmlNodeSet, NodeSetDeleter>;
using LibraryString = std::unique_ptr<xmlChar, LibraryMemoryDeleter>;

const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }

// ---------------------------------------------------------------------------------------------
// The rewrite of key(...)[1]

// True when `text` compiles as an XPath expression; the compiler's complaints go nowhere, since
// libxslt reports them itself on the text as it was written.
bool Compiles(const std::string& text) {
    const XPathContextHandle context(xmlXPathNewContext(nullptr));
    if (!context) return false;
    context->error = [](void*, xmlErrorPtr) {};
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
    std::vector<Edit> edits;
    int predicateDepth = 0;
    for (std::size_t i = 0; i < tokens->size(); ++i) {
        const XPathToken& token = (*tokens)[i];
        if (token.kind == XPathTokenKind::Other && is(i, "[")) ++predicateDepth;
        if (token.kind == XPathTokenKind::Other && is(i, "]")) --predicateDepth;
        if (token.kind != XPathTokenKind::Name || !is(i, "key")) continue;
        // At the top of a pattern key() is a pattern of its own; after a step it is no call.
        if (kind == XPathText::Pattern && predicateDepth == 0) continue;
        if (i > 0 && (is(i - 1, "/") || is(i - 1, "//") || is(i - 1, "::") || is(i - 1, "@"))) continue;
        if (i + 1 >= tokens->size() || !is(i + 1, "(")) continue;
        std::size_t close = i + 1;
        for (int open = 0; close < tokens->size(); ++close) {
            if ((*tokens)[close].kind != XPathTokenKind::Other) continue;
            if (is(close, "(") || is(close, "[")) ++open;
            if ((is(close, ")") || is(close, "]")) && --open == 0) break;
        }
        if (close + 3 >= tokens->size()) continue;
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

// ---------------------------------------------------------------------------------------------
// Key tables, built as libxslt builds them but without its search of the whole group before
// each node is added. Only template patterns look at the marks that libxslt also leaves on the
// members, so these tables serve stylesheets without key() patterns.

// A key table as libxslt makes it, so that libxslt frees it with the document.
xsltKeyTablePtr NewKeyTable(const xmlChar* name, const xmlChar* nameUri) noexcept {
    auto* table = static_cast<xsltKeyTablePtr>(xmlMalloc(sizeof(xsltKeyTable)));
    if (table == nullptr) {
        xsltTransformError(nullptr, nullptr, nullptr, "xsltNewKeyTable : malloc failed\n");
        return nullptr;
    }
    std::memset(table, 0, sizeof(xsltKeyTable));
    if (name != nullptr) table->name = xmlStrdup(name);
    if (nameUri != nullptr) table->nameURI = xmlStrdup(nameUri);
    table->keys = xmlHashCreate(0);
    return table;
}

// Adds `node` to the group of `value`. In a table that this definition started, the nodes come
// in document order, each once, so a node already in the group can only be its last.
bool AddToGroup(xsltKeyTablePtr table, const xmlChar* value, xmlNodePtr node, bool tableIsNew) noexcept {
    auto* group = static_cast<xmlNodeSetPtr>(xmlHashLookup(table->keys, value));
    if (group == nullptr) {
        NodeSetHandle created(xmlXPathNodeSetCreate(node));
        if (!created) return false;
        if (xmlHashAddEntry(table->keys, value, created.get()) == 0) (void)created.release();
        CountWork(1);
        return true;
    }
    if (tableIsNew) {
        CountWork(1);
        if (group->nodeNr > 0 && group->nodeTab[group->nodeNr - 1] == node) return true;
        return xmlXPathNodeSetAddUnique(group, node) == 0;
    }
    // Another definition of the same name filled the table before; libxslt's own search it is.
    CountWork(static_cast<std::uint64_t>(group->nodeNr) + 1);
    return xmlXPathNodeSetAdd(group, node) == 0;
}

// Computes one key definition's part of a document's table, as xsltInitCtxtKey does, with its
// messages, its recursion check and the context it restores.
int BuildKey(xsltTransformContextPtr context, xsltDocumentPtr document, xsltKeyDefPtr definition) noexcept {
    if (definition->comp == nullptr || definition->usecomp == nullptr) return -1;
    if (context->keyInitLevel > context->nbKeys) {
        xsltTransformError(context, nullptr, definition->inst, "Key definition for %s is recursive\n",
                           definition->name);
        context->state = XSLT_STATE_STOPPED;
        return -1;
    }
    ++context->keyInitLevel;
    xmlXPathContextPtr xpath = context->xpathCtxt;
    ++document->nbKeysComputed;

    xmlNodePtr const oldInst = context->inst;
    xsltDocumentPtr const oldDocument = context->document;
    xmlNodePtr const oldNode = context->node;
    xmlNodePtr const oldXPathNode = xpath->node;
    xmlDocPtr const oldXPathDoc = xpath->doc;
    const int oldPosition = xpath->proximityPosition;
    const int oldSize = xpath->contextSize;
    const int oldNamespaceCount = xpath->nsNr;
    xmlNsPtr* const oldNamespaces = xpath->namespaces;

    context->document = document;
    context->node = reinterpret_cast<xmlNodePtr>(document->doc);
    context->inst = definition->inst;
    xpath->doc = document->doc;
    xpath->node = reinterpret_cast<xmlNodePtr>(document->doc);
    xpath->namespaces = definition->nsList;
    xpath->nsNr = definition->nsNr;

    const XPathObjectHandle matched(xmlXPathCompiledEval(definition->comp, xpath));
    xmlNodeSetPtr nodes = nullptr;
    if (!matched) {
        xsltTransformError(context, nullptr, definition->inst, "Failed to evaluate the 'match' expression.\n");
        context->state = XSLT_STATE_STOPPED;
    } else if (matched->type != XPATH_NODESET) {
        xsltTransformError(context, nullptr, definition->inst,
                           "The 'match' expression did not evaluate to a node set.\n");
        context->state = XSLT_STATE_STOPPED;
    } else {
        nodes = matched->nodesetval;
    }

    xsltKeyTablePtr table = nullptr;
    bool tableIsNew = false;
    if (nodes != nullptr && nodes->nodeNr > 0) {
        for (table = static_cast<xsltKeyTablePtr>(document->keys); table != nullptr; table = table->next) {
            if (xmlStrEqual(table->name, definition->name) != 0 &&
                ((definition->nameURI == nullptr && table->nameURI == nullptr) ||
                 (definition->nameURI != nullptr && table->nameURI != nullptr &&
                  xmlStrEqual(table->nameURI, definition->nameURI) != 0)))
                break;
        }
        if (table == nullptr) {
            table = NewKeyTable(definition->name, definition->nameURI);
            if (table != nullptr) {
                table->next = static_cast<xsltKeyTablePtr>(document->keys);
                document->keys = table;
                tableIsNew = true;
            }
        }
    }

    if (table != nullptr) {
        xpath->contextSize = 1;
        xpath->proximityPosition = 1;
        XPathObjectHandle used;
        for (int i = 0; i < nodes->nodeNr; ++i) {
            xmlNodePtr node = nodes->nodeTab[i];
            if (!IS_XSLT_REAL_NODE(node)) continue;
            context->node = node;
            xpath->node = node;
            used.reset(xmlXPathCompiledEval(definition->usecomp, xpath));
            if (!used) {
                xsltTransformError(context, nullptr, definition->inst, "Failed to evaluate the 'use' expression.\n");
                context->state = XSLT_STATE_STOPPED;
                break;
            }
            // A node set gives one value per node, anything else its string.
            int count = 1;
            LibraryString value;
            if (used->type == XPATH_NODESET) {
                if (used->nodesetval == nullptr || used->nodesetval->nodeNr == 0) continue;
                count = used->nodesetval->nodeNr;
                value.reset(xmlXPathCastNodeToString(used->nodesetval->nodeTab[0]));
            } else if (used->type == XPATH_STRING) {
                value.reset(std::exchange(used->stringval, nullptr));
            } else {
                value.reset(xmlXPathCastToString(used.get()));
            }
            bool added = true;
            for (int k = 0; k < count && added; ++k) {
                if (k > 0) value.reset(xmlXPathCastNodeToString(used->nodesetval->nodeTab[k]));
                if (!value) continue;
                added = AddToGroup(table, value.get(), node, tableIsNew);
            }
            if (!added) break;
        }
    }

    --context->keyInitLevel;
    xpath->node = oldXPathNode;
    xpath->doc = oldXPathDoc;
    xpath->nsNr = oldNamespaceCount;
    xpath->namespaces = oldNamespaces;
    xpath->proximityPosition = oldPosition;
    xpath->contextSize = oldSize;
    context->node = oldNode;
    context->document = oldDocument;
    context->inst = oldInst;
    return 0;
}

bool SameKeyName(const xmlChar* name, const xmlChar* nameUri, const xmlChar* otherName,
                 const xmlChar* otherUri) noexcept {
    return (nameUri != nullptr) == (otherUri != nullptr) && xmlStrEqual(name, otherName) != 0 &&
           xmlStrEqual(nameUri, otherUri) != 0;
}

// Computes every definition of one key name for the current document (xsltInitDocKeyTable).
int BuildKeyTable(xsltTransformContextPtr context, const xmlChar* name, const xmlChar* nameUri) noexcept {
    bool found = false;
    for (xsltStylesheetPtr style = context->style; style != nullptr; style = xsltNextImport(style)) {
        for (auto definition = static_cast<xsltKeyDefPtr>(style->keys); definition != nullptr;
             definition = definition->next) {
            if (!SameKeyName(definition->name, definition->nameURI, name, nameUri)) continue;
            (void)BuildKey(context, context->document, definition);
            if (context->document->nbKeysComputed == context->nbKeys) return 0;
            found = true;
        }
    }
    if (!found) {
        xsltTransformError(context, nullptr, nullptr, "Failed to find key definition for %s\n", name);
        context->state = XSLT_STATE_STOPPED;
        return -1;
    }
    return 0;
}

xsltKeyTablePtr FindTable(xsltDocumentPtr document, const xmlChar* name, const xmlChar* nameUri) noexcept {
    for (auto table = static_cast<xsltKeyTablePtr>(document->keys); table != nullptr; table = table->next)
        if (SameKeyName(table->name, table->nameURI, name, nameUri)) return table;
    return nullptr;
}

// Computes the keys of the current document that are still missing (xsltInitAllDocKeys).
void BuildAllKeyTables(xsltTransformContextPtr context) noexcept {
    if (context->document->nbKeysComputed == context->nbKeys) return;
    for (xsltStylesheetPtr style = context->style; style != nullptr; style = xsltNextImport(style)) {
        for (auto definition = static_cast<xsltKeyDefPtr>(style->keys); definition != nullptr;
             definition = definition->next) {
            if (FindTable(context->document, definition->name, definition->nameURI) == nullptr)
                (void)BuildKeyTable(context, definition->name, definition->nameURI);
        }
    }
}

// The group of `value` in the current document's table of a key (xsltGetKey); owned by the
// table, null when there is none.
xmlNodeSetPtr GetKey(xsltTransformContextPtr context, const xmlChar* name, const xmlChar* nameUri,
                     const xmlChar* value) noexcept {
    // Template patterns with key() need the source nodes marked as libxslt marks them inside its
    // own tables, which it builds before the first template is chosen anyway.
    if (context->hasTemplKeyPatterns != 0) return xsltGetKey(context, name, nameUri, value);
    if (name == nullptr || value == nullptr || context->document == nullptr) return nullptr;
    if (context->document->nbKeysComputed < context->nbKeys && context->keyInitLevel == 0)
        BuildAllKeyTables(context);
    xsltKeyTablePtr table = FindTable(context->document, name, nameUri);
    // Inside a key's own computation only the tables asked for are built.
    if (table == nullptr && context->keyInitLevel != 0) {
        (void)BuildKeyTable(context, name, nameUri);
        table = FindTable(context->document, name, nameUri);
    }
    return table != nullptr ? static_cast<xmlNodeSetPtr>(xmlHashLookup(table->keys, value)) : nullptr;
}

// True when a key name has one definition. Its groups are then in document order, since the
// definition's nodes are added in that order; several definitions add theirs one after another.
bool HasOneDefinition(xsltTransformContextPtr context, const xmlChar* name, const xmlChar* nameUri) noexcept {
    int definitions = 0;
    for (xsltStylesheetPtr style = context->style; style != nullptr; style = xsltNextImport(style)) {
        for (auto definition = static_cast<xsltKeyDefPtr>(style->keys); definition != nullptr;
             definition = definition->next)
            if (SameKeyName(definition->name, definition->nameURI, name, nameUri)) ++definitions;
    }
    return definitions <= 1;
}

// ---------------------------------------------------------------------------------------------
// key() and its first-node form

struct Group {
    // Owned by the key table; null when the value has no group.
    xmlNodeSetPtr nodes = nullptr;
    bool inDocumentOrder = true;
};

// Looks one value up as libxslt's key() does for a string: the key's QName resolved through
// the expression's namespaces, the table of the context node's document (the source, a document
// that document() loaded, or a result tree fragment), the same messages.
Group LookUp(xmlXPathParserContextPtr parser, xsltTransformContextPtr context, const xmlChar* qualifiedName,
             const xmlChar* value) noexcept {
    Group group;
    xmlXPathContextPtr xpath = parser->context;
    xsltDocumentPtr const oldDocument = context->document;
    if (xpath->node == nullptr) {
        xsltTransformError(context, nullptr, context->inst,
                           "Internal error in xsltKeyFunction(): "
                           "The context node is not set on the XPath context.\n");
        context->state = XSLT_STATE_STOPPED;
        return group;
    }
    xmlChar* prefix = nullptr;
    LibraryString name(xmlSplitQName2(qualifiedName, &prefix));
    const LibraryString ownedPrefix(prefix);
    const xmlChar* nameUri = nullptr;
    if (!name) {
        name.reset(xmlStrdup(qualifiedName));
    } else if (prefix != nullptr) {
        nameUri = xmlXPathNsLookup(xpath, prefix);
        // libxslt goes on with the name in no namespace.
        if (nameUri == nullptr)
            xsltTransformError(context, nullptr, context->inst, "key() : prefix %s is not bound\n", prefix);
    }

    xmlNodePtr node = nullptr;
    if (xpath->node->type == XML_NAMESPACE_DECL) {
        // XPath keeps a namespace node's element in its next field.
        auto* namespaceNode = reinterpret_cast<xmlNsPtr>(xpath->node);
        if (namespaceNode->next != nullptr && namespaceNode->next->type == XML_ELEMENT_NODE)
            node = reinterpret_cast<xmlNodePtr>(namespaceNode->next);
    } else {
        node = xpath->node;
    }
    if (node == nullptr || node->doc == nullptr) {
        xsltTransformError(context, nullptr, context->inst,
                           "Internal error in xsltKeyFunction(): "
                           "Couldn't get the doc of the XPath context node.\n");
        return group;
    }
    if (context->document == nullptr || context->document->doc != node->doc) {
        if (node->doc->name != nullptr && node->doc->name[0] == ' ') {
            // A result tree fragment gets its document information when a key first needs it.
            if (node->doc->_private == nullptr) {
                node->doc->_private = xsltNewDocument(context, node->doc);
                if (node->doc->_private == nullptr) return group;
            }
            context->document = static_cast<xsltDocumentPtr>(node->doc->_private);
        } else {
            context->document = xsltFindDocument(context, node->doc);
        }
        if (context->document == nullptr) {
            xsltTransformError(context, nullptr, context->inst,
                               "Internal error in xsltKeyFunction(): "
                               "Could not get the document info of a context doc.\n");
            context->state = XSLT_STATE_STOPPED;
            context->document = oldDocument;
            return group;
        }
    }
    group.nodes = GetKey(context, name.get(), nameUri, value);
    group.inDocumentOrder = HasOneDefinition(context, name.get(), nameUri);
    context->document = oldDocument;
    return group;
}

// The first node of a group in document order.
xmlNodePtr FirstOf(const Group& group) noexcept {
    if (group.nodes == nullptr || group.nodes->nodeNr == 0) return nullptr;
    xmlNodePtr first = group.nodes->nodeTab[0];
    if (group.inDocumentOrder) {
        CountWork(1);
        return first;
    }
    for (int i = 1; i < group.nodes->nodeNr; ++i)
        if (xmlXPathCmpNodes(group.nodes->nodeTab[i], first) == 1) first = group.nodes->nodeTab[i];
    CountWork(static_cast<std::uint64_t>(group.nodes->nodeNr));
    return first;
}

// The union of groups as one new node set in document order: one table of the right size,
// filled by copying each group whole.
xmlXPathObjectPtr UnionOf(std::span<const Group> groups) noexcept {
    std::size_t total = 0;
    std::size_t filled = 0;
    bool sorted = true;
    for (const Group& group : groups) {
        if (group.nodes == nullptr || group.nodes->nodeNr == 0) continue;
        total += static_cast<std::size_t>(group.nodes->nodeNr);
        // One group in document order is already the answer; several are sorted together.
        if (++filled > 1 || !group.inDocumentOrder) sorted = false;
    }
    NodeSetHandle set(xmlXPathNodeSetCreate(nullptr));
    if (!set) return nullptr;
    if (total > 0) {
        set->nodeTab = static_cast<xmlNodePtr*>(xmlMalloc(total * sizeof(xmlNodePtr)));
        if (set->nodeTab == nullptr) return nullptr;
        set->nodeMax = static_cast<int>(total);
        for (const Group& group : groups) {
            if (group.nodes == nullptr || group.nodes->nodeNr == 0) continue;
            std::memcpy(set->nodeTab + set->nodeNr, group.nodes->nodeTab,
                        static_cast<std::size_t>(group.nodes->nodeNr) * sizeof(xmlNodePtr));
            set->nodeNr += group.nodes->nodeNr;
        }
        CountWork(total);
    }
    if (!sorted) {
        xmlXPathNodeSetSort(set.get());
        // A node in several groups is kept once.
        const auto end = std::unique(set->nodeTab, set->nodeTab + set->nodeNr);
        set->nodeNr = static_cast<int>(end - set->nodeTab);
    }
    return xmlXPathWrapNodeSet(set.release());
}

enum class Wanted { AllNodes, FirstNode };

// key() with libxslt's arguments, conversions and messages; `wanted` says whether the whole
// union of the groups is returned or only its first node in document order.
void EvaluateKey(xmlXPathParserContextPtr parser, int argumentCount, Wanted wanted) noexcept {
    xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
    if (argumentCount != 2) {
        xsltTransformError(context, nullptr, nullptr, "key() : expects two arguments\n");
        parser->error = XPATH_INVALID_ARITY;
        return;
    }
    XPathObjectHandle keyValue(valuePop(parser));
    xmlXPathStringFunction(parser, 1);
    if (!keyValue || parser->value == nullptr || parser->value->type != XPATH_STRING) {
        xsltTransformError(context, nullptr, nullptr, "key() : invalid arg expecting a string\n");
        parser->error = XPATH_INVALID_TYPE;
        return;
    }
    const XPathObjectHandle keyName(valuePop(parser));
    if (context == nullptr) {
        xmlXPathErr(parser, XPATH_INVALID_CTXT);
        return;
    }

    if (keyValue->type == XPATH_NODESET || keyValue->type == XPATH_XSLT_TREE) {
        // Each node's string value is looked up on its own, and the groups are united.
        const xmlNodeSetPtr values = keyValue->nodesetval;
        const int count = values != nullptr ? values->nodeNr : 0;
        std::vector<Group> groups;
        xmlNodePtr first = nullptr;
        try {
            if (wanted == Wanted::AllNodes) groups.reserve(static_cast<std::size_t>(count));
        } catch (...) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        for (int i = 0; i < count; ++i) {
            const LibraryString value(xmlXPathCastNodeToString(values->nodeTab[i]));
            const Group group = LookUp(parser, context, keyName->stringval, value.get());
            if (wanted == Wanted::AllNodes) {
                groups.push_back(group);
            } else if (xmlNodePtr candidate = FirstOf(group);
                       candidate != nullptr && (first == nullptr || xmlXPathCmpNodes(candidate, first) == 1)) {
                first = candidate;
            }
        }
        xmlXPathObjectPtr result = wanted == Wanted::AllNodes ? UnionOf(groups) : xmlXPathNewNodeSet(first);
        if (result == nullptr) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        valuePush(parser, result);
        return;
    }

    valuePush(parser, keyValue.release());
    xmlXPathStringFunction(parser, 1);
    if (parser->value == nullptr || parser->value->type != XPATH_STRING) {
        xsltTransformError(context, nullptr, context->inst, "key() : invalid arg expecting a string\n");
        parser->error = XPATH_INVALID_TYPE;
        return;
    }
    keyValue.reset(valuePop(parser));
    const Group group = LookUp(parser, context, keyName->stringval, keyValue->stringval);
    xmlXPathObjectPtr result = nullptr;
    if (wanted == Wanted::FirstNode)
        result = xmlXPathNewNodeSet(FirstOf(group));
    else if (group.nodes == nullptr)
        result = xmlXPathWrapNodeSet(nullptr);  // libxslt's answer for a value without a group
    else
        result = UnionOf(std::span<const Group>(&group, 1));
    if (result == nullptr) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
        return;
    }
    valuePush(parser, result);
}

void KeyFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    EvaluateKey(parser, argumentCount, Wanted::AllNodes);
}

void FirstKeyFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    EvaluateKey(parser, argumentCount, Wanted::FirstNode);
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

bool RegisterKeyFunctions(_xsltTransformContext* context) noexcept {
    if (context == nullptr || context->xpathCtxt == nullptr) return false;
    xmlXPathContextPtr xpath = context->xpathCtxt;
    (void)xmlXPathRegisterFuncNS(xpath, Chars("key"), nullptr, nullptr);
    return xmlXPathRegisterFuncNS(xpath, Chars("key"), nullptr, KeyFunction) == 0 &&
           xmlXPathRegisterFuncNS(xpath, Chars(kFirstKeyFunction), nullptr, FirstKeyFunction) == 0;
}

std::uint64_t KeyNodeWork() noexcept { return gKeyNodeWork.load(std::memory_order_relaxed); }

}  // namespace xmlservice
