// The XML service: documents, compiled stylesheets (templates) and processors, reached through
// the runtime by class ID. This is the one header a client of the platform includes: it brings
// the runtime and its support types along.
#pragma once

#include "com/com.h"
#include "com/comdef.h"

struct IXSLProcessor;

// Why a document failed to load.
struct IXMLDOMParseError : IUnknown {
    using base_interface = IUnknown;
    // 0 after a successful load, a failure code otherwise.
    virtual HRESULT get_errorCode(long* errorCode) noexcept = 0;
    virtual HRESULT get_url(BSTR* url) noexcept = 0;
    // One line: what went wrong, where (file, line, column); empty after a successful load.
    virtual HRESULT get_reason(BSTR* reason) noexcept = 0;
    virtual HRESULT get_srcText(BSTR* sourceText) noexcept = 0;
    virtual HRESULT get_line(long* line) noexcept = 0;
    virtual HRESULT get_linepos(long* linePosition) noexcept = 0;
    virtual HRESULT get_filepos(long* filePosition) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IXMLDOMParseError, 0x3EFAA426, 0x272F, 0x11D2, 0x83, 0x6F, 0x00, 0x00, 0xF8, 0x7A, 0x77,
                         0x82)

struct IXMLDOMNode : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT get_nodeName(BSTR* name) noexcept = 0;
    // The node serialized as XML.
    virtual HRESULT get_xml(BSTR* xml) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IXMLDOMNode, 0x2933BF80, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

struct IXMLDOMDocument : IXMLDOMNode {
    using base_interface = IXMLDOMNode;
    // Loads a file named by a VT_BSTR path (relative to the working directory, '\' standing for
    // '/') or a file: URL. VARIANT_TRUE with S_OK, or VARIANT_FALSE with S_FALSE and the reason
    // in parseError; a failure code for a bad argument.
    virtual HRESULT load(VARIANT source, VARIANT_BOOL* isSuccessful) noexcept = 0;
    // Loads the document from text, with the same answers as load.
    virtual HRESULT loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) noexcept = 0;
    virtual HRESULT get_parseError(IXMLDOMParseError** parseError) noexcept = 0;
    // The URL the document was loaded from; empty for none.
    virtual HRESULT get_url(BSTR* url) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IXMLDOMDocument, 0x2933BF81, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E,
                         0x60)

// A compiled stylesheet, from which processors are made.
struct IXSLTemplate : IUnknown {
    using base_interface = IUnknown;
    // Compiles a document of the service as the stylesheet. On failure createProcessor fails
    // with the compile errors as its description.
    virtual HRESULT putref_stylesheet(IXMLDOMNode* stylesheet) noexcept = 0;
    virtual HRESULT get_stylesheet(IXMLDOMNode** stylesheet) noexcept = 0;
    // A new processor over the compiled stylesheet.
    virtual HRESULT createProcessor(IXSLProcessor** processor) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IXSLTemplate, 0x2933BF93, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

// One transformation: an input document, parameters, an output stream.
struct IXSLProcessor : IUnknown {
    using base_interface = IUnknown;
    // A document of the service, as VT_UNKNOWN.
    virtual HRESULT put_input(VARIANT input) noexcept = 0;
    virtual HRESULT get_input(VARIANT* input) noexcept = 0;
    virtual HRESULT get_ownerTemplate(IXSLTemplate** ownerTemplate) noexcept = 0;
    // An IStream, as VT_UNKNOWN, that receives the serialized result.
    virtual HRESULT put_output(VARIANT output) noexcept = 0;
    virtual HRESULT get_output(VARIANT* output) noexcept = 0;
    // Runs the transformation into the output stream, leaving the stream's position at the end
    // of what it wrote.
    virtual HRESULT transform(VARIANT_BOOL* done) noexcept = 0;
    virtual HRESULT reset() noexcept = 0;
    virtual HRESULT get_readyState(long* readyState) noexcept = 0;
    // A global stylesheet parameter: a string arrives as an XPath string (never evaluated),
    // a number as a number, a boolean as a boolean.
    virtual HRESULT addParameter(BSTR baseName, VARIANT parameter, BSTR namespaceURI) noexcept = 0;
};
COM_DECLARE_INTERFACE_ID(IXSLProcessor, 0x2933BF92, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

// The processor's readyState values.
enum XSLProcessorReadyState : long {
    READYSTATE_UNINITIALIZED = 0,
    READYSTATE_LOADED = 2,
    READYSTATE_INTERACTIVE = 3,
    READYSTATE_COMPLETE = 4,
};

// The classes of the service.
inline constexpr CLSID CLSID_DOMDocument{0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
inline constexpr CLSID CLSID_FreeThreadedDOMDocument{
    0xF6D90F12, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
inline constexpr CLSID CLSID_XSLTemplate{0x2933BF94, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

_COM_SMARTPTR_TYPEDEF(IXMLDOMParseError, __uuidof(IXMLDOMParseError));
_COM_SMARTPTR_TYPEDEF(IXMLDOMNode, __uuidof(IXMLDOMNode));
_COM_SMARTPTR_TYPEDEF(IXMLDOMDocument, __uuidof(IXMLDOMDocument));
_COM_SMARTPTR_TYPEDEF(IXSLTemplate, __uuidof(IXSLTemplate));
_COM_SMARTPTR_TYPEDEF(IXSLProcessor, __uuidof(IXSLProcessor));

namespace xmlservice {

// Failure codes of the service, beside the runtime's general ones. IXMLDOMParseError's
// errorCode and the failing calls answer with them.
inline constexpr HRESULT E_NOT_WELL_FORMED = static_cast<HRESULT>(0x80040601);
inline constexpr HRESULT E_NOT_READY = static_cast<HRESULT>(0x80040602);
inline constexpr HRESULT E_COMPILE_FAILED = static_cast<HRESULT>(0x80040603);
inline constexpr HRESULT E_TRANSFORM_FAILED = static_cast<HRESULT>(0x80040604);

// Makes the service's classes known to CoCreateInstance; true when all of them are.
bool RegisterClasses() noexcept;
// Registers the classes before main in every program that includes this header, and keeps
// the service linked into it.
inline const bool classesRegistered = RegisterClasses();

}  // namespace xmlservice
