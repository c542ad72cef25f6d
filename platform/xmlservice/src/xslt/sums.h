// sum($variable/name) without libxml2's node set of the path: the stylesheet's expressions call
// kChildSumFunction for it (expression_rewrite.h), which takes the step to the children itself,
// reading ahead in the variable's list, and adds their numbers up in the order XPath would.
#pragma once

struct _xsltTransformContext;

namespace xmlservice {

// Gives a new transformation context kChildSumFunction; false when it could not be registered.
bool RegisterChildSumFunction(_xsltTransformContext* context) noexcept;

}  // namespace xmlservice
