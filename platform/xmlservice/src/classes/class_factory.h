// The creators of the service's classes, which registration hands to the runtime.
#pragma once

#include "com/com.h"

namespace xmlservice {

// A new document (for both document classes), asked for interface `iid`.
HRESULT CreateDocument(REFIID iid, void** object) noexcept;
// A new template, asked for interface `iid`.
HRESULT CreateTemplate(REFIID iid, void** object) noexcept;

}  // namespace xmlservice
