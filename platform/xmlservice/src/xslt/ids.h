// generate-id() over a table of the service's own: ids numbered in the order they are first asked
// for, with lookups that cost the same however large the documents grow. libxslt from 1.1.38 on
// numbers nodes in constant time as well, but keeps the numbers in the source nodes themselves,
// which other transformations may be reading at the same time; before 1.1.38 its ids derive
// from node addresses. So the service's table serves every release.
#pragma once

#include <cstdint>
#include <memory>

struct _xsltTransformContext;

namespace xmlservice {

class GeneratedIds;

// Forgets the ids and stops the function from using them.
struct GeneratedIdsDeleter {
    void operator()(GeneratedIds* ids) const noexcept;
};
using GeneratedIdsHandle = std::unique_ptr<GeneratedIds, GeneratedIdsDeleter>;

// Gives a new transformation context the service's generate-id(). The returned ids serve the
// transformation run on this thread while the handle lives; null when the function could not be
// registered.
GeneratedIdsHandle RegisterGenerateId(_xsltTransformContext* context) noexcept;

// How many ids the service's generate-id() has given in this process, for tests.
std::uint64_t GeneratedIdsGiven() noexcept;

}  // namespace xmlservice
