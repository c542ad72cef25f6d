// How the template and the processor reach the tree of a document of the service.
#pragma once

#include "xmlservice/msxml.h"

#include <string_view>

struct _xmlDoc;

namespace xmlservice {

// A document of the service as the template and the processor need it.
struct DocumentView {
    // The parsed tree; null when nothing is loaded.
    _xmlDoc* tree = nullptr;
    // The file: URL it was loaded from; empty for a document loaded from text.
    std::string_view url;
    // The file as the caller named it in load.
    std::string_view name;
    // The real path of the folder holding the file; empty for a document loaded from text.
    std::string_view folder;
};

// Reached through QueryInterface, so that a node made elsewhere is never taken for a document
// of the service.
struct IDocumentAccess : IUnknown {
    using base_interface = IUnknown;
    // Fills `view`; it stays valid until the document is loaded again or released.
    virtual HRESULT GetView(DocumentView* view) noexcept = 0;
};

}  // namespace xmlservice

COM_DECLARE_INTERFACE_ID(xmlservice::IDocumentAccess, 0x6B1F3C2E, 0x4D7A, 0x4E95, 0x9A, 0x31, 0x5C, 0x2E, 0x8F, 0x14,
                         0xA7, 0x60)
