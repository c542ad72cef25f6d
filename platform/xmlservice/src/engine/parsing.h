// Parsing a document for the service: from a file as it is read, or from text, under the
// service's parse options and its hold on libxml2's limits.
#pragma once

#include "engine/call_record.h"
#include "engine/handles.h"

#include <cstdio>
#include <string>
#include <string_view>

struct _xmlDict;

namespace xmlservice {

// The text of a document: a file, read while it is parsed, or else text in memory, which is
// UTF-8 whatever its declaration says.
struct DocumentText {
    std::FILE* file = nullptr;
    std::string_view utf8;
};

// Parses `text` as a document whose base is `url` (may be empty). Any parser error, refused
// access or going over the memory budget makes it fail (null), the reasons being in `call`. A
// non-null `dictionary` is shared with the new document.
DocumentHandle ParseDocument(CallRecord& call, const DocumentText& text, const std::string& url,
                             _xmlDict* dictionary = nullptr);

}  // namespace xmlservice
