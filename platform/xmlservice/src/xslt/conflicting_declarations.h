// Top-level declarations of equal rank that contradict each other: the platform lets the last in
// the stylesheet win, where libxslt keeps the first. Within one stylesheet module the service
// removes what a later declaration overrides before libxslt compiles the module.
#pragma once

struct _xmlDoc;

namespace xmlservice {

// In `module`: a name test listed by several xsl:strip-space and xsl:preserve-space elements
// stays only in the last of them, and of several xsl:namespace-alias elements for one namespace
// only the last stays. A failure leaves the rest as it was.
void KeepLastOfConflictingDeclarations(_xmlDoc* module) noexcept;

}  // namespace xmlservice
