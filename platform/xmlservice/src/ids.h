// generate-id() without libxslt's table of ids keyed by formatted node addresses, whose
// lookups grow slower than the documents: the ids of the source document's nodes are kept in
// a table indexed by document order, with libxslt's own numbering.
#pragma once

#include <cstdint>
#include <memory>

struct _xsltTransformContext;

namespace xmlservice {

class GeneratedIds;

// Forgets the ids and detaches them from their transformation context.
struct GeneratedIdsDeleter {
    void operator()(GeneratedIds* ids) const noexcept;
};
using GeneratedIdsHandle = std::unique_ptr<GeneratedIds, GeneratedIdsDeleter>;

// Gives a new transformation context the service's generate-id(), whose ids of the source
// document live in the returned handle; the handle must outlive the transformation's run. Null
// when the function could not be registered.
GeneratedIdsHandle RegisterGenerateId(_xsltTransformContext* context) noexcept;

// How many ids of source nodes the service's generate-id() has given in this process, for tests.
std::uint64_t GeneratedIdsGiven() noexcept;

}  // namespace xmlservice
