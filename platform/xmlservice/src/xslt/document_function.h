// document() that loads the whole resource whatever fragment identifier its URI carries, where
// libxslt would evaluate the fragment as an XPointer.
#pragma once

struct _xsltTransformContext;

namespace xmlservice {

// Gives a new transformation context the service's document(); false when it could not be
// registered.
bool RegisterDocumentFunction(_xsltTransformContext* context) noexcept;

}  // namespace xmlservice
