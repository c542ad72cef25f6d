// xsl:value-of of one step without XPath. A template that writes a record's fields runs
// <xsl:value-of select="author"/> once per field and record: through XPath, each costs a node
// set, an XPath value, a buffer and a copy of the text, which is most of the transformation's
// time. A select that is one bare name, one attribute of a bare name or "." reads the node's
// children, attributes or text directly instead, and copies the text once, into the result.
#pragma once

#include <cstddef>

struct _xsltStylesheet;

namespace xmlservice {

// Makes the compiled xsl:value-of instructions of `style` and of the modules it imports whose
// select is such a step (see IsChildNameStep) run the service's function; every other
// instruction, and every node that the step does not read directly, stays with libxslt's. Called
// once per stylesheet, after compiling it and before it runs. The number of instructions switched.
std::size_t ReadSimpleValueOfsDirectly(_xsltStylesheet* style) noexcept;

}  // namespace xmlservice
