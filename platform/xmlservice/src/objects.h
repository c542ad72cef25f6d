// What the service's classes share: the private view of a document, the creators of the
// classes, and the helpers that every interface method uses.
#pragma once

#include "failures.h"
#include "xmlservice/msxml.h"

#include <new>
#include <string>
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

// A new document (for both document classes), asked for interface `iid`.
HRESULT CreateDocument(REFIID iid, void** object) noexcept;
// A new template, asked for interface `iid`.
HRESULT CreateTemplate(REFIID iid, void** object) noexcept;

// The UTF-8 form of a wide string; false for text that is not valid UTF-16.
bool Utf8FromWide(BSTR text, std::string& utf8);
// Hands `utf8` to the caller as a new BSTR; bytes that are not UTF-8 become U+FFFD.
HRESULT ReturnText(std::string_view utf8, BSTR* out) noexcept;
// "VT_I4 (3)"-style name of a variant type, for messages.
std::string VariantTypeName(VARTYPE type);

// Runs `body`; an exception escaping it (only allocations throw) becomes a failure with error
// information, so none leaves an interface method.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(Failure::NoMemory);
    } catch (...) {
        return Fail(Failure::Unexpected);
    }
}

}  // namespace xmlservice

COM_DECLARE_INTERFACE_ID(xmlservice::IDocumentAccess, 0x6B1F3C2E, 0x4D7A, 0x4E95, 0x9A, 0x31, 0x5C, 0x2E, 0x8F, 0x14,
                         0xA7, 0x60)
