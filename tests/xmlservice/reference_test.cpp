#include "reference_test.h"

#include "engine/call_record.h"
#include "engine/handles.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlIO.h>
#include <libxslt/documents.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <filesystem>
#include <memory>

namespace {

// Reads any local file, for libxslt alone: the tests' files are all local.
xmlParserInputPtr LoadLocalFile(const char* url, const char*, xmlParserCtxtPtr context) {
    return url != nullptr ? xmlNewInputFromFile(context, url) : nullptr;
}

}  // namespace

std::string ReferenceTest::LibxsltBytes(const std::string& stylesheet, const std::string& input) {
    // The service's reads are confined to a call's folders, and its messages go to the call.
    xmlservice::CallRecord call({std::filesystem::canonical(folder_).string()});
    // libxml2's and libxslt's own loaders, which the service replaces, for this run only.
    const xmlExternalEntityLoader serviceEntityLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(LoadLocalFile);
    const xsltDocLoaderFunc serviceLoader = xsltDocDefaultLoader;
    xsltSetLoaderFunc(nullptr);
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOCDATA;
    xmlservice::DocumentHandle tree(xmlReadFile(Absolute(stylesheet).c_str(), nullptr, options));
    const xmlservice::StylesheetHandle compiled(tree ? xsltParseStylesheetDoc(tree.get()) : nullptr);
    if (compiled) (void)tree.release();  // the stylesheet owns its tree now
    const xmlservice::DocumentHandle source(xmlReadFile(Absolute(input).c_str(), nullptr, options));
    std::string bytes = "<libxslt failed>";
    if (compiled && source) {
        const xmlservice::TransformContextHandle context(xsltNewTransformContext(compiled.get(), source.get()));
        const xmlservice::DocumentHandle result(
            xsltApplyStylesheetUser(compiled.get(), source.get(), nullptr, nullptr, nullptr, context.get()));
        xmlChar* text = nullptr;
        int length = 0;
        if (result && xsltSaveResultToString(&text, &length, result.get(), compiled.get()) == 0) {
            const std::unique_ptr<xmlChar, xmlservice::LibraryMemoryDeleter> owned(text);
            bytes.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
        }
    }
    xsltSetLoaderFunc(serviceLoader);
    xmlSetExternalEntityLoader(serviceEntityLoader);
    lastLibxsltMessages_ = call.Describe({});
    return bytes;
}

void ReferenceTest::ExpectLibxsltBytes(const std::string& stylesheet, const std::string& input,
                                       const std::string& mustHold) {
    const std::string written = Transform(stylesheet, input);
    EXPECT_EQ(written, LibxsltBytes(stylesheet, input)) << stylesheet << "\n" << lastLibxsltMessages_;
    EXPECT_NE(written.find(mustHold), std::string::npos) << stylesheet << "\n" << written;
}

void ReferenceTest::ExpectLibxsltBytesWithIds(const std::string& stylesheet, const std::string& input,
                                              const std::string& mustHold) {
    WriteFile("numbered-ids.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:value-of"
                                                           " select=\"generate-id()\"/></xsl:template>"));
    WriteFile("numbered-ids.xml", "<numbered/>");
    if (LibxsltBytes("numbered-ids.xsl", "numbered-ids.xml") == "id1") {
        ExpectLibxsltBytes(stylesheet, input, mustHold);
        return;
    }
    const std::string written = Transform(stylesheet, input);
    EXPECT_NE(written.find(mustHold), std::string::npos) << stylesheet << "\n" << written;
}

std::string Stylesheet(const std::string& body, const std::string& namespaces) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"" + namespaces + ">" +
           body + "</xsl:stylesheet>";
}
