#include "xslt/conflicting_declarations.h"

#include "engine/handles.h"

#include <libxml/tree.h>
#include <libxslt/xsltInternals.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace xmlservice {
namespace {

const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }

bool IsXslt(const xmlNode* node, const char* name) noexcept {
    return node->type == XML_ELEMENT_NODE && node->ns != nullptr && xmlStrEqual(node->ns->href, XSLT_NAMESPACE) != 0 &&
           xmlStrEqual(node->name, Chars(name)) != 0;
}

bool IsXmlSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::vector<std::string> Tokens(const std::string& list) {
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && IsXmlSpace(list[at])) ++at;
        std::size_t end = at;
        while (end < list.size() && !IsXmlSpace(list[end])) ++end;
        if (end > at) tokens.push_back(list.substr(at, end - at));
        at = end;
    }
    return tokens;
}

std::string AttributeOf(xmlNodePtr element, const char* name) {
    const std::unique_ptr<xmlChar, LibraryMemoryDeleter> value(xmlGetNoNsProp(element, Chars(name)));
    return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
}

// The namespace that `prefix` ("#default" for the default one) names at `element`.
std::string NamespaceOf(xmlNodePtr element, const std::string& prefix) {
    const xmlNs* ns = xmlSearchNs(element->doc, element, prefix == "#default" ? nullptr : Chars(prefix.c_str()));
    return ns != nullptr ? std::string(reinterpret_cast<const char*>(ns->href)) : std::string();
}

void KeepLastSpaceDeclarations(const std::vector<xmlNodePtr>& declarations) {
    // The last declaration of each name test, by its text.
    std::unordered_map<std::string, xmlNodePtr> last;
    for (xmlNodePtr declaration : declarations)
        for (const std::string& token : Tokens(AttributeOf(declaration, "elements"))) last[token] = declaration;
    for (xmlNodePtr declaration : declarations) {
        const std::vector<std::string> tokens = Tokens(AttributeOf(declaration, "elements"));
        std::string kept;
        bool dropped = false;
        for (const std::string& token : tokens) {
            if (last[token] != declaration) {
                dropped = true;
                continue;
            }
            kept += (kept.empty() ? "" : " ") + token;
        }
        if (!dropped) continue;
        if (kept.empty()) {
            xmlUnlinkNode(declaration);
            xmlFreeNode(declaration);
        } else {
            (void)xmlSetProp(declaration, Chars("elements"), Chars(kept.c_str()));
        }
    }
}

void KeepLastAliases(const std::vector<xmlNodePtr>& aliases) {
    std::unordered_map<std::string, xmlNodePtr> last;
    for (xmlNodePtr alias : aliases) last[NamespaceOf(alias, AttributeOf(alias, "stylesheet-prefix"))] = alias;
    for (xmlNodePtr alias : aliases) {
        if (last[NamespaceOf(alias, AttributeOf(alias, "stylesheet-prefix"))] == alias) continue;
        xmlUnlinkNode(alias);
        xmlFreeNode(alias);
    }
}

}  // namespace

void KeepLastOfConflictingDeclarations(_xmlDoc* module) noexcept {
    xmlNodePtr root = module != nullptr ? xmlDocGetRootElement(module) : nullptr;
    if (root == nullptr || !(IsXslt(root, "stylesheet") || IsXslt(root, "transform"))) return;
    try {
        std::vector<xmlNodePtr> spaceDeclarations;
        std::vector<xmlNodePtr> aliases;
        for (xmlNodePtr child = root->children; child != nullptr; child = child->next) {
            if (IsXslt(child, "strip-space") || IsXslt(child, "preserve-space")) spaceDeclarations.push_back(child);
            if (IsXslt(child, "namespace-alias")) aliases.push_back(child);
        }
        if (spaceDeclarations.size() > 1) KeepLastSpaceDeclarations(spaceDeclarations);
        if (aliases.size() > 1) KeepLastAliases(aliases);
    } catch (...) {
    }
}

}  // namespace xmlservice
