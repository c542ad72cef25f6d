// A stylesheet as compiled by putref_stylesheet, with what a transformation of it needs.
#pragma once

#include "engine/handles.h"
#include "xslt/scripts.h"

#include <string>
#include <unordered_map>

namespace xmlservice {

// A compiled stylesheet, shared by its template and the processors made from it, so that a
// later putref_stylesheet leaves existing processors as they were.
struct CompiledStylesheet {
    StylesheetHandle stylesheet;
    // Where it and its modules may read; empty when it was loaded from text.
    std::string folder;
    // How messages name the files it was compiled from.
    std::unordered_map<std::string, std::string> fileNames;
    // True when it has templates that match by key(): libxslt then marks the nodes of the source
    // document while it transforms, so that the transformation must read the document alone.
    bool marksSourceNodes = false;
    // Its msxsl:script blocks; null when it has none.
    StylesheetScriptsPtr scripts;
};

}  // namespace xmlservice
