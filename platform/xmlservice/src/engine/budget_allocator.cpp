#include "engine/budget_allocator.h"

#include <libxml/xmlmemory.h>

namespace xmlservice {

void* AllocateCounted(std::size_t bytes) noexcept { return xmlMalloc(bytes == 0 ? 1 : bytes); }

void FreeCounted(void* block) noexcept { xmlFree(block); }

}  // namespace xmlservice
