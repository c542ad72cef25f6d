#include "engine/handles.h"

#include "engine/budget.h"

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xmlIO.h>
#include <libxml/xpath.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>

namespace xmlservice {

void DocumentDeleter::operator()(_xmlDoc* document) const noexcept {
    // A large tree goes node by node.
    const CountingBatch batch;
    xmlFreeDoc(document);
}
void ParserContextDeleter::operator()(_xmlParserCtxt* context) const noexcept { xmlFreeParserCtxt(context); }
void OutputBufferCloser::operator()(_xmlOutputBuffer* buffer) const noexcept { (void)xmlOutputBufferClose(buffer); }
void EncoderCloser::operator()(_xmlCharEncodingHandler* encoder) const noexcept { (void)xmlCharEncCloseFunc(encoder); }
void UriDeleter::operator()(_xmlURI* uri) const noexcept { xmlFreeURI(uri); }
void LibraryMemoryDeleter::operator()(void* memory) const noexcept { xmlFree(memory); }
void StylesheetDeleter::operator()(_xsltStylesheet* stylesheet) const noexcept { xsltFreeStylesheet(stylesheet); }
void TransformContextDeleter::operator()(_xsltTransformContext* context) const noexcept {
    xsltFreeTransformContext(context);
}
void SecurityPrefsDeleter::operator()(_xsltSecurityPrefs* prefs) const noexcept { xsltFreeSecurityPrefs(prefs); }
void XPathObjectDeleter::operator()(_xmlXPathObject* object) const noexcept { xmlXPathFreeObject(object); }
void CompiledExpressionDeleter::operator()(_xmlXPathCompExpr* expression) const noexcept {
    xmlXPathFreeCompExpr(expression);
}
void XPathContextDeleter::operator()(_xmlXPathContext* context) const noexcept { xmlXPathFreeContext(context); }
void NodeSetDeleter::operator()(_xmlNodeSet* set) const noexcept { xmlXPathFreeNodeSet(set); }

}  // namespace xmlservice
