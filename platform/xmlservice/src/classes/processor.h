// The processor: one transformation of a compiled stylesheet.
#pragma once

#include "classes/compiled_stylesheet.h"
#include "xmlservice/msxml.h"

#include <memory>

namespace xmlservice {

// A new processor of `compiled`, made by `owner`, with one reference for the caller.
IXSLProcessor* NewProcessor(IXSLTemplate* owner, std::shared_ptr<CompiledStylesheet> compiled);

}  // namespace xmlservice
