#include "xslt/keys.h"

#include "engine/budget_allocator.h"
#include "engine/handles.h"
#include "xslt/expression_rewrite.h"
#include "engine/libxslt_fields.h"
#include "xslt/transformation_local.h"
#include "xslt/xpath_text.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <libxslt/functions.h>
#include <libxslt/imports.h>
#include <libxslt/extensions.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <atomic>
#include <string_view>
#include <utility>

namespace xmlservice {
namespace {

std::atomic<std::uint64_t> gKeyNodeWork{0};

void CountWork(std::uint64_t nodes) noexcept { gKeyNodeWork.fetch_add(nodes, std::memory_order_relaxed); }

using LibraryString = std::unique_ptr<xmlChar, LibraryMemoryDeleter>;

const xmlChar* Chars(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }
std::string_view View(const xmlChar* text) noexcept {
    return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Lets a table of strings be searched with a view, without making a string first.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// The members of one key value, in the order libxslt adds them: each definition's matches in
// document order, one definition after another. Like every container here that grows with the
// documents, it takes its memory from the budget.
using Group = CountedVector<xmlNodePtr>;

// The groups of one key name in one document.
struct KeyTable {
    CountedMap<CountedString, Group, TextHash, std::equal_to<>> groups;
    // True while its definitions are evaluated, to tell a key whose use needs itself.
    bool building = false;
    // True when more than one definition filled it, so that its groups need not be in document
    // order and may meet a node twice.
    bool severalDefinitions = false;
};

// A key's name: its local part and namespace, as libxslt compares them.
struct KeyName {
    CountedString local;
    CountedString uri;
    bool hasUri = false;

    bool operator==(const KeyName&) const = default;
};

struct KeyNameHash {
    std::size_t operator()(const KeyName& name) const noexcept {
        return TextHash{}(name.local) * 31 + TextHash{}(name.uri) + name.hasUri;
    }
};

KeyName NameOf(const xmlChar* local, const xmlChar* uri) {
    return {CountedString(View(local)), CountedString(View(uri)), uri != nullptr};
}

// A member of a group, for telling whether a group holds a node without searching it.
using Membership = std::pair<const Group*, const xmlNode*>;
struct MembershipHash {
    std::size_t operator()(const Membership& member) const noexcept {
        return std::hash<const void*>{}(member.first) * 31 + std::hash<const void*>{}(member.second);
    }
};
using Memberships = CountedSet<Membership, MembershipHash>;

// The tables of the documents that live as long as the transformation: the source and the
// documents that document() loaded. Result tree fragments may be freed and their memory reused
// while it runs, so key() on them is left to libxslt, which keeps their tables with them.
class DocumentTables {
public:
    CountedMap<KeyName, KeyTable, KeyNameHash> tables;
    bool allBuilt = false;
};

}  // namespace

class KeyTables : public TransformationLocal<KeyTables> {
public:
    explicit KeyTables(xsltTransformContextPtr context) noexcept : TransformationLocal(context) {}

    // The group of `value` for the key `name` in `document`; null when there is none. May throw
    // std::bad_alloc.
    const Group* Find(xmlDocPtr document, const KeyName& name, const xmlChar* value, bool* inDocumentOrder) {
        DocumentTables& tables = documents_[document];
        // As libxslt, the first lookup outside a key's own computation builds every key of the
        // document, so that all of their errors show whichever key is asked for first.
        if (!tables.allBuilt && buildDepth_ == 0) {
            tables.allBuilt = true;
            ForEachDefinition([&](xsltKeyDefPtr definition) {
                const KeyName defined = NameOf(definition->name, definition->nameURI);
                if (tables.tables.find(defined) == tables.tables.end()) Build(document, tables, defined);
            });
        }
        auto table = tables.tables.find(name);
        if (table != tables.tables.end() && table->second.building) {
            (void)Build(document, tables, name);
            return nullptr;
        }
        if (table == tables.tables.end()) {
            // Inside a key's computation only the table asked for is built; a name without a
            // definition has no members.
            if (buildDepth_ == 0 || !Build(document, tables, name)) return nullptr;
            table = tables.tables.find(name);
        }
        *inDocumentOrder = !table->second.severalDefinitions;
        const auto group = table->second.groups.find(View(value));
        return group != table->second.groups.end() ? &group->second : nullptr;
    }

private:
    template <class Visit>
    void ForEachDefinition(Visit&& visit) {
        for (xsltStylesheetPtr style = StylesheetOf(context_); style != nullptr; style = xsltNextImport(style))
            for (xsltKeyDefPtr definition = KeyDefinitionsOf(style); definition != nullptr; definition = definition->next)
                visit(definition);
    }

    // Computes every definition of `name` for `document` into a new table; false when the name
    // has no definition. libxslt's messages and its recursion check come along.
    bool Build(xmlDocPtr document, DocumentTables& tables, const KeyName& name) {
        bool defined = false;
        ForEachDefinition([&](xsltKeyDefPtr definition) {
            if (NameOf(definition->name, definition->nameURI) == name) defined = true;
        });
        if (!defined) return false;
        // The table stays where it is while other tables are added, so the reference holds.
        KeyTable& table = tables.tables[name];
        if (table.building) {
            xsltTransformError(context_, nullptr, nullptr, "Key definition for %s is recursive\n", name.local.c_str());
            StopTransform(context_);
            return true;
        }
        table.building = true;
        ++buildDepth_;
        int definitions = 0;
        ForEachDefinition([&](xsltKeyDefPtr definition) {
            if (NameOf(definition->name, definition->nameURI) != name || TransformStopped(context_)) return;
            AddDefinition(document, table, *definition, ++definitions > 1);
        });
        --buildDepth_;
        table.building = false;
        table.severalDefinitions = definitions > 1;
        return true;
    }

    // One definition's part of a table, as libxslt computes it: the match over the whole
    // document, the use for each node matched, with libxslt's context and messages.
    void AddDefinition(xmlDocPtr document, KeyTable& table, const xsltKeyDef& definition, bool afterAnother) {
        if (definition.comp == nullptr || definition.usecomp == nullptr) return;
        xmlXPathContextPtr xpath = XPathContextOf(context_);
        const EvaluationScope scope(context_, xpath);

        SetTransformPlace(context_, reinterpret_cast<xmlNodePtr>(document), definition.inst);
        xpath->doc = document;
        xpath->node = reinterpret_cast<xmlNodePtr>(document);
        xpath->namespaces = definition.nsList;
        xpath->nsNr = definition.nsNr;

        const XPathObjectHandle matched(xmlXPathCompiledEval(definition.comp, xpath));
        if (!matched) {
            Fail(definition, "Failed to evaluate the 'match' expression.\n");
        } else if (matched->type != XPATH_NODESET) {
            Fail(definition, "The 'match' expression did not evaluate to a node set.\n");
        } else if (matched->nodesetval != nullptr) {
            const xmlNodeSetPtr nodes = matched->nodesetval;
            // Members the table already has from other definitions, which libxslt adds once.
            Memberships earlier;
            if (afterAnother)
                for (const auto& [value, group] : table.groups)
                    for (const xmlNode* member : group) earlier.emplace(&group, member);
            xpath->contextSize = 1;
            xpath->proximityPosition = 1;
            const bool childStep =
                definition.use != nullptr && IsChildNameStep(reinterpret_cast<const char*>(definition.use));
            XPathObjectHandle used;
            const ChildStepReadAhead readAhead(*nodes, definition.use);
            for (int i = 0; i < nodes->nodeNr && !TransformStopped(context_); ++i) {
                xmlNodePtr node = nodes->nodeTab[i];
                if (!IS_XSLT_REAL_NODE(node)) continue;
                if (childStep && HasChildStep(node)) {
                    readAhead.Before(i);
                    // One value per node of the step, as for any node set below; read where it
                    // is held when it is held in one place.
                    VisitChildStep(node, definition.use, [&](const xmlNode* child) {
                        const xmlChar* value = nullptr;
                        LibraryString copied;
                        if (!HeldInOnePlace(child->children, value)) {
                            copied.reset(xmlXPathCastNodeToString(const_cast<xmlNodePtr>(child)));
                            value = copied.get();
                        }
                        if (value != nullptr) Add(table, value, node, afterAnother ? &earlier : nullptr);
                        return true;
                    });
                    continue;
                }
                SetTransformPlace(context_, node, definition.inst);
                xpath->node = node;
                used.reset(xmlXPathCompiledEval(definition.usecomp, xpath));
                if (!used) {
                    Fail(definition, "Failed to evaluate the 'use' expression.\n");
                    break;
                }
                // A node set gives one value per node, anything else its string.
                if (used->type == XPATH_NODESET) {
                    const int count = used->nodesetval != nullptr ? used->nodesetval->nodeNr : 0;
                    for (int k = 0; k < count; ++k) {
                        const LibraryString value(xmlXPathCastNodeToString(used->nodesetval->nodeTab[k]));
                        if (value) Add(table, value.get(), node, afterAnother ? &earlier : nullptr);
                    }
                } else {
                    const LibraryString value(xmlXPathCastToString(used.get()));
                    if (value) Add(table, value.get(), node, afterAnother ? &earlier : nullptr);
                }
            }
        }
    }

    // Adds `node` to the group of `value` once. Within one definition a node's values come one
    // after another, so a node already added is the group's last; `earlier` holds the members
    // that other definitions added.
    static void Add(KeyTable& table, const xmlChar* value, xmlNodePtr node, const Memberships* earlier) {
        CountWork(1);
        auto group = table.groups.find(View(value));
        if (group == table.groups.end()) group = table.groups.emplace(CountedString(View(value)), Group{}).first;
        if (!group->second.empty() && group->second.back() == node) return;
        if (earlier != nullptr && earlier->count({&group->second, node}) != 0) return;
        group->second.push_back(node);
    }

    void Fail(const xsltKeyDef& definition, const char* message) noexcept {
        xsltTransformError(context_, nullptr, definition.inst, "%s", message);
        StopTransform(context_);
    }

    CountedMap<xmlDocPtr, DocumentTables> documents_;
    int buildDepth_ = 0;
};

void KeyTablesDeleter::operator()(KeyTables* tables) const noexcept { delete tables; }

namespace {

enum class Wanted { AllNodes, FirstNode };

// The node whose document holds the key's groups: the context node, or the element of a
// namespace node (XPath keeps it in the namespace's next field).
xmlNodePtr DocumentNodeOf(xmlNodePtr node) noexcept {
    if (node == nullptr || node->type != XML_NAMESPACE_DECL) return node;
    auto* space = reinterpret_cast<xmlNsPtr>(node);
    if (space->next != nullptr && space->next->type == XML_ELEMENT_NODE) return reinterpret_cast<xmlNodePtr>(space->next);
    return nullptr;
}

// A group found for key(), and whether its members are in document order.
using FoundGroup = std::pair<const Group*, bool>;

// The nodes of `groups` (each a different group) in document order, each once, as a new XPath
// value: all of them, or only the first.
xmlXPathObjectPtr Result(const CountedVector<FoundGroup>& groups, Wanted wanted) {
    CountedVector<xmlNodePtr> nodes;
    bool sorted = true;
    std::size_t filled = 0;
    for (const auto& [group, inDocumentOrder] : groups) {
        if (group == nullptr || group->empty()) continue;
        // One group in document order is already the answer; several are sorted together.
        if (++filled > 1 || !inDocumentOrder) sorted = false;
        if (wanted == Wanted::FirstNode && inDocumentOrder) {
            nodes.push_back(group->front());
            CountWork(1);
        } else {
            nodes.insert(nodes.end(), group->begin(), group->end());
            CountWork(group->size());
        }
    }
    if (!sorted) {
        std::sort(nodes.begin(), nodes.end(), [](xmlNodePtr a, xmlNodePtr b) { return xmlXPathCmpNodes(a, b) == 1; });
        nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    }
    if (wanted == Wanted::FirstNode) return xmlXPathNewNodeSet(nodes.empty() ? nullptr : nodes.front());
    XPathObjectHandle result(xmlXPathNewNodeSet(nullptr));
    if (!result || result->nodesetval == nullptr) return nullptr;
    for (xmlNodePtr node : nodes)
        if (xmlXPathNodeSetAddUnique(result->nodesetval, node) != 0) return nullptr;
    return result.release();
}

// key() for a context node in a result tree fragment: libxslt's own, reduced to its first node
// in document order where that is wanted.
void LibxsltKey(xmlXPathParserContextPtr parser, Wanted wanted) {
    xsltKeyFunction(parser, 2);
    if (wanted == Wanted::AllNodes || parser->error != XPATH_EXPRESSION_OK) return;
    XPathObjectHandle all(valuePop(parser));
    xmlNodePtr first = nullptr;
    if (all && all->nodesetval != nullptr)
        for (int i = 0; i < all->nodesetval->nodeNr; ++i)
            if (first == nullptr || xmlXPathCmpNodes(all->nodesetval->nodeTab[i], first) == 1)
                first = all->nodesetval->nodeTab[i];
    valuePush(parser, xmlXPathNewNodeSet(first));
}

// key() with libxslt's arguments, conversions and messages; `wanted` says whether the whole
// union of the groups is returned or only its first node in document order.
void EvaluateKey(xmlXPathParserContextPtr parser, int argumentCount, Wanted wanted) {
    xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
    if (argumentCount != 2) {
        xsltTransformError(context, nullptr, nullptr, "key() : expects two arguments\n");
        parser->error = XPATH_INVALID_ARITY;
        return;
    }
    KeyTables* tables = KeyTables::Of(context);
    xmlNodePtr contextNode = parser->context != nullptr ? DocumentNodeOf(parser->context->node) : nullptr;
    if (tables == nullptr || contextNode == nullptr || contextNode->doc == nullptr ||
        XSLT_IS_RES_TREE_FRAG(contextNode->doc)) {
        LibxsltKey(parser, wanted);
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

    // The key's QName resolved through the expression's namespaces; libxslt goes on with the
    // name in no namespace when the prefix is not bound.
    xmlChar* prefix = nullptr;
    LibraryString local(xmlSplitQName2(keyName->stringval, &prefix));
    const LibraryString ownedPrefix(prefix);
    const xmlChar* uri = nullptr;
    if (!local) {
        local.reset(xmlStrdup(keyName->stringval));
    } else if (prefix != nullptr) {
        uri = xmlXPathNsLookup(parser->context, prefix);
        if (uri == nullptr)
            xsltTransformError(context, nullptr, InstructionOf(context), "key() : prefix %s is not bound\n", prefix);
    }
    const KeyName name = NameOf(local.get(), uri);

    // Each node of a node-set argument is a value of its own, and their groups are united. Many
    // nodes may hold one value: each group is taken once, however often its value comes.
    const bool severalValues = keyValue->type == XPATH_NODESET || keyValue->type == XPATH_XSLT_TREE;
    const xmlNodeSetPtr argumentNodes = severalValues ? keyValue->nodesetval : nullptr;
    const int valueCount = severalValues ? (argumentNodes != nullptr ? argumentNodes->nodeNr : 0) : 1;
    CountedVector<FoundGroup> groups;
    CountedSet<const Group*> taken;
    for (int i = 0; i < valueCount; ++i) {
        const LibraryString value(severalValues ? xmlXPathCastNodeToString(argumentNodes->nodeTab[i])
                                                : xmlXPathCastToString(keyValue.get()));
        if (!value) {
            xmlXPathErr(parser, XPATH_MEMORY_ERROR);
            return;
        }
        bool inDocumentOrder = true;
        const Group* group = tables->Find(contextNode->doc, name, value.get(), &inDocumentOrder);
        if (group != nullptr && taken.insert(group).second) groups.emplace_back(group, inDocumentOrder);
    }
    xmlXPathObjectPtr result = Result(groups, wanted);
    if (result == nullptr) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
        return;
    }
    valuePush(parser, result);
}

void Evaluate(xmlXPathParserContextPtr parser, int argumentCount, Wanted wanted) noexcept {
    try {
        EvaluateKey(parser, argumentCount, wanted);
    } catch (...) {
        xmlXPathErr(parser, XPATH_MEMORY_ERROR);
    }
}

void KeyFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    Evaluate(parser, argumentCount, Wanted::AllNodes);
}

void FirstKeyFunction(xmlXPathParserContextPtr parser, int argumentCount) noexcept {
    Evaluate(parser, argumentCount, Wanted::FirstNode);
}

}  // namespace

KeyTablesHandle RegisterKeyFunctions(_xsltTransformContext* context) noexcept {
    xmlXPathContextPtr xpath = context != nullptr ? XPathContextOf(context) : nullptr;
    if (xpath == nullptr) return nullptr;
    KeyTablesHandle tables(new (std::nothrow) KeyTables(context));
    if (!tables) return nullptr;
    (void)xmlXPathRegisterFuncNS(xpath, Chars("key"), nullptr, nullptr);
    if (xmlXPathRegisterFuncNS(xpath, Chars("key"), nullptr, KeyFunction) != 0 ||
        xmlXPathRegisterFuncNS(xpath, Chars(kFirstKeyFunction), nullptr, FirstKeyFunction) != 0)
        return nullptr;
    return tables;
}

std::uint64_t KeyNodeWork() noexcept { return gKeyNodeWork.load(std::memory_order_relaxed); }

}  // namespace xmlservice
