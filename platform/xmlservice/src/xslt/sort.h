// xsl:sort in O(n log n): libxslt sorts with Shell's method, whose cost grows faster than the
// list. The order is libxslt's own: its keys, then the original position.
#pragma once

#include <cstdint>

struct _xsltTransformContext;

namespace xmlservice {

// Makes a transformation context sort with the service's function; the sorts it does not take on
// (a language, or a data type or order given as a template) go to libxslt's own.
void UseServiceSort(_xsltTransformContext* context) noexcept;

// How many node lists the service has sorted itself in this process, for tests.
std::uint64_t ServiceSorts() noexcept;

}  // namespace xmlservice
