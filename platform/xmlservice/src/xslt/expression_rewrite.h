// The rewrites of a stylesheet's expressions, done on their text before libxslt compiles them:
// key(...)[1] becomes a call that looks at one node of its group instead of copying the whole
// group, and sum($variable/name) a call that adds up the children without building the node set
// of the path first.
#pragma once

#include "engine/budget_allocator.h"

#include <string_view>

struct _xmlDoc;

namespace xmlservice {

// The internal function that key(...)[1] becomes. An unprefixed name outside the core function
// library cannot be called by a valid XSLT 1.0 stylesheet, so no stylesheet's own call is caught.
inline constexpr char kFirstKeyFunction[] = "key-first-in-document-order";

// The internal function that sum($variable/name) becomes, with the variable and the name as a
// string for arguments; named as kFirstKeyFunction is, for the same reason.
inline constexpr char kChildSumFunction[] = "sum-of-named-children";

// Where an XPath text sits in a stylesheet: a whole expression, or a pattern, whose top level
// (a key() pattern there is no function call) is left alone and only predicates are rewritten.
enum class XPathText { Expression, Pattern };

// `text` with every call key(ARGS)[1] replaced by a call of kFirstKeyFunction with the same
// arguments; `text` itself when there is none or when it does not compile as XPath. Linear in
// the length of `text`, whatever it holds.
CountedString RewriteFirstKeyCalls(std::string_view text, XPathText kind);

// `text` with every call sum($variable/name), the name without prefix, replaced by a call of
// kChildSumFunction($variable, 'name'); `text` itself when there is none or when it does not
// compile as XPath. Only expressions are rewritten: a pattern holds no variables.
CountedString RewriteChildSums(std::string_view text);

// Makes both rewrites wherever a stylesheet module (before libxslt compiles it) holds XPath: the
// expressions and patterns of XSLT instructions and the expressions of attribute value templates.
// A failure leaves the rest as it was, which is still correct.
void RewriteExpressions(_xmlDoc* stylesheet) noexcept;

}  // namespace xmlservice
