// xsl:processing-instruction as the platform treats it: a name that is not an NCName usable as a
// processing instruction's target stops the transformation, and content holding "?>" is written
// with a space between "?" and ">" (libxslt checks no name and fails on such content). The
// stylesheet is rewritten before libxslt compiles it, so that the content and the name pass
// through a function of the service on their way into the instruction.
#pragma once

#include <string>
#include <string_view>

struct _xmlDoc;
struct _xsltTransformContext;

namespace xmlservice {

// The internal function that the rewritten instructions call. An unprefixed name outside the core
// function library cannot be called by a valid XSLT 1.0 stylesheet.
inline constexpr char kProcessingInstructionTextFunction[] = "processing-instruction-text-checked";

// An XPath expression whose string value is that of the attribute value template `avt`; nothing
// when `avt` is not a well-formed template (libxslt reports that itself).
bool ExpressionOfTemplate(std::string_view avt, std::string& expression);

// Makes every xsl:processing-instruction of a stylesheet module compute its content (and check its
// name) through kProcessingInstructionTextFunction. A failure leaves the rest as it was.
void RewriteProcessingInstructions(_xmlDoc* stylesheet) noexcept;

// Gives a new transformation context kProcessingInstructionTextFunction; false when it could not
// be registered.
bool RegisterProcessingInstructionFunction(_xsltTransformContext* context) noexcept;

}  // namespace xmlservice
