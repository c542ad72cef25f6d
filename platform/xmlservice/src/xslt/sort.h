// xsl:sort in O(n log n) (libxslt sorts with Shell's method, whose cost grows faster than the
// list), with text in linguistic order (collation.h) and numbers as libxslt orders them; nodes
// whose keys tie keep their original order.
#pragma once

#include <cstdint>

struct _xsltTransformContext;

namespace xmlservice {

// Makes a transformation context sort with the service's function, for every xsl:sort.
void UseServiceSort(_xsltTransformContext* context) noexcept;

// How many node lists the service has sorted itself in this process, for tests.
std::uint64_t ServiceSorts() noexcept;

// How many collation keys the service's sorts have made in this process; a text met again at
// the same level shares the key made for it first. For tests.
std::uint64_t SortKeysMade() noexcept;

}  // namespace xmlservice
