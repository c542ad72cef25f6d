// The service's fixed access policy: no network, no external entity or DTD, reads only inside
// the folders of a call, no writes. It is applied where libxml2 and libxslt ask for anything
// outside the documents they were given.
#pragma once

#include <string_view>

struct _xsltSecurityPrefs;

namespace xmlservice {

class CallRecord;

// Makes libxml2 refuse every external entity and libxslt read modules and documents through the
// checked loader, under the service's security preferences. Called once, at the libraries' setup.
void InstallAccessPolicy() noexcept;

// The security preferences that every transformation runs under: reads checked, writes and the
// network refused.
_xsltSecurityPrefs* TransformSecurity() noexcept;

// True when the file at `path` may be read in `call`: inside one of its folders once symbolic
// links are resolved. Otherwise the refusal is recorded in `call`.
bool MayRead(CallRecord& call, std::string_view path) noexcept;

}  // namespace xmlservice
