// XPath 1.0 read as text, for the few places where the service looks into a stylesheet's
// expressions before libxslt compiles them.
#pragma once

#include "engine/budget_allocator.h"

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

}  // namespace xmlservice
