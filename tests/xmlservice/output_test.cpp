// The serialized result: byte for byte what libxslt itself writes for each xsl:output, written
// into the stream at its position.
#include "service_test.h"

#include "engine/handles.h"

#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <memory>

namespace {

class OutputTest : public ServiceTest {};

// What libxslt's own serialization makes of `stylesheet` applied to `input`.
std::string LibxsltBytes(const std::string& stylesheet, const std::string& input) {
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOCDATA;
    xmlservice::DocumentHandle stylesheetTree(
        xmlReadMemory(stylesheet.data(), static_cast<int>(stylesheet.size()), "expected.xsl", nullptr, options));
    EXPECT_TRUE(stylesheetTree);
    const xmlservice::StylesheetHandle compiled(xsltParseStylesheetDoc(stylesheetTree.get()));
    EXPECT_TRUE(compiled);
    if (!compiled) return "<not compiled>";
    (void)stylesheetTree.release();  // the stylesheet owns its tree now
    const xmlservice::DocumentHandle inputTree(
        xmlReadMemory(input.data(), static_cast<int>(input.size()), "expected.xml", nullptr, options));
    const xmlservice::DocumentHandle result(xsltApplyStylesheet(compiled.get(), inputTree.get(), nullptr));
    EXPECT_TRUE(result);
    xmlChar* text = nullptr;
    int length = 0;
    EXPECT_EQ(xsltSaveResultToString(&text, &length, result.get(), compiled.get()), 0);
    const std::unique_ptr<xmlChar, xmlservice::LibraryMemoryDeleter> owned(text);
    return owned ? std::string(reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(length)) : "";
}

const std::string kInput =
    "<doc><item>caf\xC3\xA9</item><item>\xE2\x82\xAC &amp; &lt;x&gt;</item><item>\xF0\x9D\x84\x9E</item></doc>";

const std::string kPage =
    "<html><head><title>T</title></head><body><xsl:for-each select=\"//item\"><p class=\"c\">"
    "<xsl:value-of select=\".\"/></p></xsl:for-each><br/><xsl:comment>note</xsl:comment></body></html>";

const std::string kLines = "<xsl:for-each select=\"//item\"><xsl:value-of select=\".\"/><xsl:text>&#10;</xsl:text></xsl:for-each>";

std::string Stylesheet(const std::string& output, const std::string& body) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">" + output +
           "<xsl:template match=\"/\">" + body + "</xsl:template></xsl:stylesheet>";
}

TEST_F(OutputTest, EachOutputMethodAndEncodingIsWrittenAsLibxsltWritesIt) {
    struct Case {
        std::string output;
        std::string body;
        // A piece the bytes must hold, so that the comparison compares something real.
        std::string mustHold;
    };
    const Case cases[] = {
        {"", "<out><xsl:copy-of select=\"//item\"/></out>", "<?xml version=\"1.0\"?>\n<out><item>caf\xC3\xA9"},
        {"<xsl:output method=\"xml\" indent=\"yes\"/>", "<out><xsl:copy-of select=\"//item\"/></out>", "\n  <item>"},
        {"<xsl:output method=\"xml\" encoding=\"ISO-8859-1\"/>", "<out><xsl:copy-of select=\"//item\"/></out>",
         "encoding=\"ISO-8859-1\"?>\n<out><item>caf\xE9</item><item>&#8364;"},
        {"<xsl:output method=\"xml\" encoding=\"UTF-16\"/>", "<out><xsl:copy-of select=\"//item\"/></out>",
         std::string("<\0o\0u\0t\0>\0", 10)},
        {"<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/>", "<out/>", "<out/>"},
        {"<xsl:output method=\"xml\" standalone=\"yes\" version=\"1.0\"/>", "<out/>", "standalone=\"yes\""},
        {"<xsl:output method=\"xml\" doctype-public=\"-//W3C//DTD XHTML 1.0 Strict//EN\""
         " doctype-system=\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\"/>",
         kPage, "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\""},
        {"<xsl:output method=\"xml\" cdata-section-elements=\"item\"/>", "<item>a &lt; b</item>", "<![CDATA[a < b]]>"},
        {"<xsl:output method=\"html\"/>", kPage, "<br>"},
        // The serializer adds the encoding's meta element; libxml2 2.14 and later in its HTML5 form.
        {"", kPage, "charset="},
        {"<xsl:output method=\"html\" encoding=\"ISO-8859-1\" media-type=\"text/html\" indent=\"no\""
         " doctype-public=\"-//W3C//DTD HTML 4.01//EN\"/>",
         kPage, "caf\xE9"},
        {"<xsl:output method=\"html\" indent=\"yes\" media-type=\"application/xhtml+xml\"/>", kPage, "<head>\n<meta"},
        {"<xsl:output method=\"text\"/>", kLines, "caf\xC3\xA9\n\xE2\x82\xAC & <x>\n"},
        {"<xsl:output method=\"text\" encoding=\"ISO-8859-1\"/>", kLines, "caf\xE9\n"},
        {"<xsl:output method=\"text\" encoding=\"UTF-16\"/>", kLines, std::string("c\0a\0f\0\xE9\0", 8)},
    };
    WriteFile("in.xml", kInput);
    for (const Case& c : cases) {
        const std::string stylesheet = Stylesheet(c.output, c.body);
        WriteFile("case.xsl", stylesheet);
        const std::string written = Transform("case.xsl", "in.xml");
        EXPECT_EQ(written, LibxsltBytes(stylesheet, kInput)) << c.output;
        EXPECT_NE(written.find(c.mustHold), std::string::npos) << c.output << "\n" << written;
    }
}

TEST_F(OutputTest, AnEmptyResultWritesNothingAndABigOneIsWrittenWhole) {
    WriteFile("in.xml", kInput);
    WriteFile("empty.xsl", Stylesheet("<xsl:output method=\"xml\"/>", ""));
    EXPECT_EQ(Transform("empty.xsl", "in.xml"), "");

    std::string many = "<doc>";
    for (int i = 0; i < 20000; ++i) many += "<item>" + std::to_string(i) + " caf\xC3\xA9</item>";
    many += "</doc>";
    WriteFile("many.xml", many);
    const std::string stylesheet =
        Stylesheet("<xsl:output method=\"xml\" encoding=\"UTF-16\" indent=\"yes\"/>", "<out><xsl:copy-of select=\"//item\"/></out>");
    WriteFile("many.xsl", stylesheet);
    const std::string written = Transform("many.xsl", "many.xml");
    EXPECT_GT(written.size(), 500000u);
    EXPECT_EQ(written, LibxsltBytes(stylesheet, many));
}

TEST_F(OutputTest, TheResultIsWrittenAtTheStreamsPositionWhichEndsAfterIt) {
    WriteFile("in.xml", kInput);
    WriteFile("t.xsl", Stylesheet("<xsl:output method=\"text\"/>", "<xsl:value-of select=\"count(//item)\"/>"));
    IXSLTemplatePtr compiled = Compile("t.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    IXMLDOMDocumentPtr input = Load("in.xml");
    IStreamPtr stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(stream->Write("AB", 2, nullptr), S_OK);
    ASSERT_EQ(processor->put_input(_variant_t(static_cast<IUnknown*>(input))), S_OK);
    ASSERT_EQ(processor->put_output(_variant_t(static_cast<IUnknown*>(stream))), S_OK);
    VARIANT_BOOL done = VARIANT_FALSE;
    ASSERT_EQ(processor->transform(&done), S_OK);
    ASSERT_EQ(processor->transform(&done), S_OK);
    EXPECT_EQ(StreamBytes(stream), "AB33");
    ULARGE_INTEGER position{};
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 4u);
    long state = 0;
    ASSERT_EQ(processor->get_readyState(&state), S_OK);
    EXPECT_EQ(state, READYSTATE_COMPLETE);

    VARIANT output;
    ASSERT_EQ(processor->get_output(&output), S_OK);
    EXPECT_EQ(output.vt, VT_UNKNOWN);
    EXPECT_EQ(output.punkVal, static_cast<IUnknown*>(stream));
    VariantClear(&output);
}

// A stream that takes only part of what it is given, or nothing.
class FailingStream final : public com::Object<IStream> {
public:
    explicit FailingStream(HRESULT answer) noexcept : answer_(answer) {}
    HRESULT Read(void*, ULONG, ULONG*) noexcept override { return E_NOTIMPL; }
    HRESULT Write(const void*, ULONG count, ULONG* written) noexcept override {
        if (written != nullptr) *written = SUCCEEDED(answer_) ? count / 2 : 0;
        return answer_;
    }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) noexcept override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) noexcept override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) noexcept override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) noexcept override { return E_NOTIMPL; }
    HRESULT Revert() noexcept override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) noexcept override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) noexcept override { return E_NOTIMPL; }

private:
    HRESULT answer_;
};

TEST_F(OutputTest, AStreamThatRefusesTheBytesFailsTheTransformation) {
    WriteFile("in.xml", kInput);
    WriteFile("t.xsl", Stylesheet("", "<out/>"));
    IXSLTemplatePtr compiled = Compile("t.xsl");
    IXMLDOMDocumentPtr input = Load("in.xml");
    struct Case {
        HRESULT answer;
        HRESULT expected;
    };
    const Case cases[] = {{E_ACCESSDENIED, E_ACCESSDENIED}, {S_OK, STG_E_MEDIUMFULL}};
    for (const Case& c : cases) {
        IXSLProcessorPtr processor;
        ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
        IStreamPtr stream;
        stream.Attach(new FailingStream(c.answer));
        ASSERT_EQ(processor->put_input(_variant_t(static_cast<IUnknown*>(input))), S_OK);
        ASSERT_EQ(processor->put_output(_variant_t(static_cast<IUnknown*>(stream))), S_OK);
        VARIANT_BOOL done = VARIANT_TRUE;
        const HRESULT result = processor->transform(&done);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(done, VARIANT_FALSE);
        EXPECT_EQ(RaisedDescription(result, processor, __uuidof(IXSLProcessor)),
                  "Writing the result to the output stream failed");
    }
}

TEST_F(OutputTest, AnUnknownOutputEncodingFailsInsteadOfWritingOtherBytes) {
    WriteFile("in.xml", kInput);
    WriteFile("t.xsl", Stylesheet("<xsl:output encoding=\"X-NO-SUCH-ENCODING\"/>", "<out/>"));
    IXSLTemplatePtr compiled = Compile("t.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    IXMLDOMDocumentPtr input = Load("in.xml");
    HRESULT result = S_OK;
    EXPECT_EQ(Run(processor, input, &result), "");
    EXPECT_EQ(result, xmlservice::E_TRANSFORM_FAILED);
    EXPECT_EQ(TakeErrorDescription(), "The output encoding \"X-NO-SUCH-ENCODING\" is not supported");
}

}  // namespace
