// key() without the cost of copying whole groups: the service's own key() and the first-node
// function that key(...)[1] is rewritten into, over key tables of the service's own that are
// built once per document and transformation, without libxslt's search of a group before each
// node is added.
#pragma once

#include <cstdint>
#include <memory>

struct _xsltTransformContext;

namespace xmlservice {

class KeyTables;

// Forgets the tables and stops the functions from using them.
struct KeyTablesDeleter {
    void operator()(KeyTables* tables) const noexcept;
};
using KeyTablesHandle = std::unique_ptr<KeyTables, KeyTablesDeleter>;

// Gives a new transformation context the service's key() and the first-node function in place
// of libxslt's key(). The returned tables serve the transformation run on this thread while the
// handle lives; null when the functions could not be registered.
KeyTablesHandle RegisterKeyFunctions(_xsltTransformContext* context) noexcept;

// How many group members key() and the first-node function have added, copied, compared or
// scanned in this process; a figure that grows with the work, so that tests can check it stays
// linear.
std::uint64_t KeyNodeWork() noexcept;

}  // namespace xmlservice
