// XPath 1.0 read as text, for the few places where the service looks into a stylesheet's
// expressions before libxslt compiles them.
#pragma once

#include "engine/budget_allocator.h"

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace xmlservice {

enum class XPathTokenKind { Literal, Number, Name, Variable, Other };

// One token: a literal with its quotes, a number, a name (with its prefix), a variable
// reference (with its "$"), or an operator or punctuation.
struct XPathToken {
    XPathTokenKind kind;
    std::size_t begin;
    std::size_t end;
};

// True for XPath's whitespace.
bool IsXPathSpace(char c) noexcept;

// The tokens of `text` without whitespace, in memory the budget counts (a text may be as long
// as a document's attribute, and its tokens take more room than its characters); nothing when
// the text holds something that is no token, such as an unclosed literal or a stray character.
std::optional<CountedVector<XPathToken>> TokenizeXPath(std::string_view text);

// True when `expression` is a single unprefixed ASCII name ("author"): the step child::author,
// whose nodes the service finds among a node's children without evaluating XPath. Sort keys and
// key uses are most often such a step, taken once for each of many nodes.
bool IsChildNameStep(std::string_view expression) noexcept;

// True when the step child::name reads the children of `node`: an element or the document.
// From any other node it selects nothing, and the caller evaluates it as XPath would.
inline bool HasChildStep(const xmlNode* node) noexcept {
    return node->type == XML_ELEMENT_NODE || node->type == XML_DOCUMENT_NODE;
}

// Calls `visit` with each node of the step child::`name` from `node` (see HasChildStep), in
// document order: the child elements of that name in no namespace. `visit` returns false to stop.
template <class Visit>
void VisitChildStep(const xmlNode* node, const xmlChar* name, Visit&& visit) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next)
        if (child->type == XML_ELEMENT_NODE && child->ns == nullptr && xmlStrEqual(child->name, name) && !visit(child))
            return;
}

// True, with `text` set (only then), when the string value of a node whose children start at
// `first` (an element's or an attribute's) is held in one place and needs no copy: empty for no
// children, the content of a single text or CDATA node. Any other content (elements, entity
// references, comments among the text) is read by libxml2, as XPath reads it.
bool HeldInOnePlace(const xmlNode* first, const xmlChar*& text) noexcept;

// True, with `text` set (only then), when the string value of the step child::`name` from
// `node` (see HasChildStep) is held in one place: the first such child's, empty for none.
bool ChildStepHeldText(const xmlNode* node, const xmlChar* name, const xmlChar*& text) noexcept;

// Reads ahead in a loop that takes the step child::`name` from each node of a list: a sorted or
// grouped list visits the nodes of a large tree far apart in memory, and each step would wait
// for memory several times, one node after the other. Before the step from node `at`, the nodes
// kFar places on are asked for, with what lies after them in memory, where a parsed tree keeps
// an element's first children; and the text of the node kNear places on, whose nodes have
// arrived by then. Hints to the processor only: nothing is changed and nothing can fault.
class ChildStepReadAhead {
public:
    ChildStepReadAhead(const xmlNodeSet& nodes, const xmlChar* name) noexcept : nodes_(nodes), name_(name) {}

    void Before(int at) const noexcept {
        if (at + kFar < nodes_.nodeNr) {
            const char* far = reinterpret_cast<const char*>(nodes_.nodeTab[at + kFar]);
            for (int line = 0; line < kLines; ++line) __builtin_prefetch(far + 64 * line);
        }
        if (at + kNear < nodes_.nodeNr) {
            const xmlNode* near = nodes_.nodeTab[at + kNear];
            const xmlChar* text = nullptr;
            if (HasChildStep(near) && ChildStepHeldText(near, name_, text)) __builtin_prefetch(text);
        }
    }

private:
    static constexpr int kFar = 16;
    static constexpr int kNear = 8;
    // 1.5 KiB: the first dozen nodes that follow an element.
    static constexpr int kLines = 24;
    const xmlNodeSet& nodes_;
    const xmlChar* name_;
};

}  // namespace xmlservice
