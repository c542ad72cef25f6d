// Owners of the libxml2 and libxslt handles. The library types are only forward-declared here,
// so that the service's own headers stay free of the libraries' headers.
#pragma once

#include <memory>

struct _xmlDoc;
struct _xmlParserCtxt;
struct _xmlOutputBuffer;
struct _xmlCharEncodingHandler;
struct _xmlURI;
struct _xsltStylesheet;
struct _xsltTransformContext;
struct _xsltSecurityPrefs;
struct _xmlXPathObject;
struct _xmlXPathCompExpr;
struct _xmlXPathContext;
struct _xmlNodeSet;

namespace xmlservice {

// Frees a document tree (xmlFreeDoc).
struct DocumentDeleter {
    void operator()(_xmlDoc* document) const noexcept;
};
// Frees a parser context (xmlFreeParserCtxt).
struct ParserContextDeleter {
    void operator()(_xmlParserCtxt* context) const noexcept;
};
// Closes an output buffer without looking at its result (xmlOutputBufferClose); used only when
// an error path abandons the buffer.
struct OutputBufferCloser {
    void operator()(_xmlOutputBuffer* buffer) const noexcept;
};
// Releases a character encoder (xmlCharEncCloseFunc); built-in encoders are left alone.
struct EncoderCloser {
    void operator()(_xmlCharEncodingHandler* encoder) const noexcept;
};
// Frees a parsed URI (xmlFreeURI).
struct UriDeleter {
    void operator()(_xmlURI* uri) const noexcept;
};
// Frees memory that libxml2 allocated (xmlFree).
struct LibraryMemoryDeleter {
    void operator()(void* memory) const noexcept;
};
// Frees a compiled stylesheet together with the document it owns (xsltFreeStylesheet).
struct StylesheetDeleter {
    void operator()(_xsltStylesheet* stylesheet) const noexcept;
};
// Frees a transformation context and the documents it loaded (xsltFreeTransformContext).
struct TransformContextDeleter {
    void operator()(_xsltTransformContext* context) const noexcept;
};
// Frees a set of security preferences (xsltFreeSecurityPrefs).
struct SecurityPrefsDeleter {
    void operator()(_xsltSecurityPrefs* prefs) const noexcept;
};
// Frees an XPath value (xmlXPathFreeObject).
struct XPathObjectDeleter {
    void operator()(_xmlXPathObject* object) const noexcept;
};
// Frees a compiled XPath expression (xmlXPathFreeCompExpr).
struct CompiledExpressionDeleter {
    void operator()(_xmlXPathCompExpr* expression) const noexcept;
};
// Frees an XPath context (xmlXPathFreeContext).
struct XPathContextDeleter {
    void operator()(_xmlXPathContext* context) const noexcept;
};
// Frees a node set, not its nodes (xmlXPathFreeNodeSet).
struct NodeSetDeleter {
    void operator()(_xmlNodeSet* set) const noexcept;
};

// The owners themselves, one per kind of handle.
using DocumentHandle = std::unique_ptr<_xmlDoc, DocumentDeleter>;
using ParserContextHandle = std::unique_ptr<_xmlParserCtxt, ParserContextDeleter>;
using OutputBufferHandle = std::unique_ptr<_xmlOutputBuffer, OutputBufferCloser>;
using EncoderHandle = std::unique_ptr<_xmlCharEncodingHandler, EncoderCloser>;
using UriHandle = std::unique_ptr<_xmlURI, UriDeleter>;
using StylesheetHandle = std::unique_ptr<_xsltStylesheet, StylesheetDeleter>;
using TransformContextHandle = std::unique_ptr<_xsltTransformContext, TransformContextDeleter>;
using SecurityPrefsHandle = std::unique_ptr<_xsltSecurityPrefs, SecurityPrefsDeleter>;
using XPathObjectHandle = std::unique_ptr<_xmlXPathObject, XPathObjectDeleter>;
using CompiledExpressionHandle = std::unique_ptr<_xmlXPathCompExpr, CompiledExpressionDeleter>;
using XPathContextHandle = std::unique_ptr<_xmlXPathContext, XPathContextDeleter>;
using NodeSetHandle = std::unique_ptr<_xmlNodeSet, NodeSetDeleter>;

}  // namespace xmlservice
