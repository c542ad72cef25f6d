// Loading documents: the answers of load and loadXML, and what parseError tells.
#include "service_test.h"

#include "classes/document_access.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace {

// The error type the library's structured handlers take: constant since libxml2 2.12.
template <class Handler>
struct ErrorArgumentOf;
template <class Error>
struct ErrorArgumentOf<void (*)(void*, Error)> {
    using type = Error;
};

class LoadTest : public ServiceTest {};

constexpr char kBooks[] = "<catalog>\n  <book id=\"1\"><title>XML</title><price>30</price></book>\n</catalog>\n";

struct ParseDetails {
    long code = 0;
    std::string reason;
    std::string url;
    std::string sourceText;
    long line = 0;
    long column = 0;
};

ParseDetails DetailsOf(IXMLDOMDocument* document) {
    ParseDetails details;
    IXMLDOMParseErrorPtr error;
    EXPECT_EQ(document->get_parseError(&error), S_OK);
    BSTR text = nullptr;
    error->get_errorCode(&details.code);
    error->get_line(&details.line);
    error->get_linepos(&details.column);
    error->get_reason(&text);
    details.reason = Narrow(text);
    SysFreeString(text);
    error->get_url(&text);
    details.url = Narrow(text);
    SysFreeString(text);
    error->get_srcText(&text);
    details.sourceText = Narrow(text);
    SysFreeString(text);
    return details;
}

std::string XmlOf(IXMLDOMDocument* document) {
    BSTR xml = nullptr;
    EXPECT_EQ(document->get_xml(&xml), S_OK);
    std::string text = Narrow(xml);
    SysFreeString(xml);
    return text;
}

TEST_F(LoadTest, LoadsByRelativePathWithBackslashesAndByFileUrl) {
    WriteFile("Input/books.xml", kBooks);
    const std::string url = "file://" + Absolute("Input/books.xml");
    for (const std::string& name : {std::string("Input\\books.xml"), std::string("Input/books.xml"), url}) {
        for (const CLSID& clsid : {CLSID_DOMDocument, CLSID_FreeThreadedDOMDocument}) {
            IXMLDOMDocumentPtr document(clsid);
            VARIANT_BOOL loaded = VARIANT_FALSE;
            EXPECT_EQ(document->load(Text(name), &loaded), S_OK) << name;
            EXPECT_EQ(loaded, VARIANT_TRUE) << name;
            const ParseDetails details = DetailsOf(document);
            EXPECT_EQ(details.code, 0);
            EXPECT_EQ(details.reason, "");
            EXPECT_NE(XmlOf(document).find("<title>XML</title>"), std::string::npos);
            BSTR loadedFrom = nullptr;
            EXPECT_EQ(document->get_url(&loadedFrom), S_OK);
            EXPECT_EQ(Narrow(loadedFrom), url);
            SysFreeString(loadedFrom);
        }
    }
}

TEST_F(LoadTest, AFailedLoadAnswersFalseWithAOneLineReason) {
    WriteFile("Input/bad.xml", "<catalog>\n  <book>\n    <title>x</title>\n  </catalog>\n");
    WriteFile("Input/empty.xml", "");
    WriteFile("Input/undeclared.xml", "<r>&nbsp;</r>");
    std::filesystem::create_directories("Input/folder.xml");
    ASSERT_EQ(mkfifo("Input/pipe.xml", 0644), 0);
    std::filesystem::create_symlink("/dev/zero", "Input/device.xml");
    struct Case {
        std::string name;
        HRESULT code;
        std::string reason;
        long line;
        long column;
        std::string sourceText;
    };
    const Case cases[] = {
        {"Input\\bad.xml", xmlservice::E_NOT_WELL_FORMED,
         "Opening and ending tag mismatch: book line 2 and catalog (Input\\bad.xml, line 4, column 13)", 4, 13,
         "  </catalog>"},
        {"Input\\missing.xml", HRESULT_FROM_WIN32(2),
         "The file \"Input\\missing.xml\" cannot be read: No such file or directory", 0, 0, ""},
        {"Input\\folder.xml", E_FAIL, "The file \"Input\\folder.xml\" cannot be read: Is a directory", 0, 0, ""},
        // Neither waited on nor read: a named pipe without a writer, a device without an end.
        {"Input\\pipe.xml", E_FAIL,
         "The file \"Input\\pipe.xml\" is not a regular file (it is a named pipe); only regular files are read", 0, 0,
         ""},
        {"Input\\device.xml", E_FAIL,
         "The file \"Input\\device.xml\" is not a regular file (it is a character device); only regular files are read",
         0, 0, ""},
        {"Input\\empty.xml", xmlservice::E_NOT_WELL_FORMED, "Document is empty (Input\\empty.xml, line 1, column 1)",
         1, 1, ""},
        {"Input\\undeclared.xml", xmlservice::E_NOT_WELL_FORMED,
         "Entity 'nbsp' not defined (Input\\undeclared.xml, line 1, column 10)", 1, 10, "<r>&nbsp;</r>"},
        {"http://example.com/books.xml", E_ACCESSDENIED,
         "Loading \"http://example.com/books.xml\" is refused: only local files can be loaded", 0, 0, ""},
        {"ftp://example.com/books.xml", E_ACCESSDENIED,
         "Loading \"ftp://example.com/books.xml\" is refused: only local files can be loaded", 0, 0, ""},
        {"file://example.com/books.xml", E_ACCESSDENIED,
         "Loading \"file://example.com/books.xml\" is refused: only local files can be loaded", 0, 0, ""},
        {"", E_INVALIDARG, "\"\" is not a file path or a file: URL", 0, 0, ""},
    };
    for (const Case& c : cases) {
        IXMLDOMDocumentPtr document(CLSID_DOMDocument);
        VARIANT_BOOL loaded = VARIANT_TRUE;
        EXPECT_EQ(document->load(Text(c.name), &loaded), S_FALSE) << c.name;
        EXPECT_EQ(loaded, VARIANT_FALSE) << c.name;
        const ParseDetails details = DetailsOf(document);
        EXPECT_EQ(details.code, c.code) << c.name;
        EXPECT_EQ(details.reason, c.reason);
        EXPECT_EQ(details.url, c.name);
        EXPECT_EQ(details.line, c.line) << c.name;
        EXPECT_EQ(details.column, c.column) << c.name;
        EXPECT_EQ(details.sourceText, c.sourceText) << c.name;
        EXPECT_EQ(XmlOf(document), "") << c.name;
    }
}

TEST_F(LoadTest, AFailedLoadEmptiesTheDocumentAndASuccessfulOneClearsTheReason) {
    WriteFile("good.xml", "<a/>");
    WriteFile("bad.xml", "<a>");
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ASSERT_EQ(document->load(Text("good.xml"), &loaded), S_OK);
    EXPECT_NE(XmlOf(document).find("<a/>"), std::string::npos);
    EXPECT_EQ(document->load(Text("bad.xml"), &loaded), S_FALSE);
    EXPECT_EQ(XmlOf(document), "");
    EXPECT_NE(DetailsOf(document).reason, "");
    ASSERT_EQ(document->load(Text("good.xml"), &loaded), S_OK);
    EXPECT_EQ(DetailsOf(document).reason, "");
    EXPECT_EQ(DetailsOf(document).code, 0);
}

TEST_F(LoadTest, AVariantThatIsNotAStringFailsWithErrorInformation) {
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    struct Case {
        _variant_t source;
        std::string type;
    };
    const Case cases[] = {{_variant_t(42), "VT_I4"}, {_variant_t(), "VT_EMPTY"}, {_variant_t(true), "VT_BOOL"}};
    for (const Case& c : cases) {
        VARIANT_BOOL loaded = VARIANT_TRUE;
        const HRESULT result = document->load(c.source, &loaded);
        EXPECT_EQ(result, E_INVALIDARG);
        EXPECT_EQ(loaded, VARIANT_FALSE);
        EXPECT_EQ(RaisedDescription(result, document, __uuidof(IXMLDOMDocument)),
                  "load needs the file's path or file: URL as a string (VT_BSTR), not " + c.type);
    }
    EXPECT_EQ(document->load(Text("x.xml"), nullptr), E_POINTER);
    EXPECT_NE(TakeErrorDescription(), "<none>");
}

TEST_F(LoadTest, LoadXmlParsesTextWhateverItsDeclaredEncoding) {
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const std::u16string text = u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\u00e9\u20ac</a>";
    _bstr_t xml(text.c_str());
    ASSERT_EQ(document->loadXML(xml, &loaded), S_OK) << ParseReason(document);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    EXPECT_NE(XmlOf(document).find("<a>\u00e9\u20ac</a>"), std::string::npos) << XmlOf(document);

    _bstr_t broken(u"<a>\n<b></a>");
    EXPECT_EQ(document->loadXML(broken, &loaded), S_FALSE);
    EXPECT_EQ(loaded, VARIANT_FALSE);
    const ParseDetails details = DetailsOf(document);
    EXPECT_EQ(details.reason, "Opening and ending tag mismatch: b line 2 and a (line 2, column 8)");
    EXPECT_EQ(details.line, 2);
    EXPECT_EQ(details.sourceText, "<b></a>");
}

TEST_F(LoadTest, AParseErrorQuotesTheFirstThousandBytesOfALongLine) {
    // The error sits at the end of a line of 200 KB, after a line of its own.
    const std::string line = "<a>" + std::string(200 * 1024, 'x') + "</b>";
    const std::string text = "<r>\n" + line + "</r>\n";
    WriteFile("long.xml", text);
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    ASSERT_EQ(document->load(Text("long.xml"), &loaded), S_FALSE);
    const ParseDetails fromFile = DetailsOf(document);
    EXPECT_EQ(fromFile.line, 2);
    EXPECT_EQ(fromFile.sourceText, line.substr(0, 1000));

    ASSERT_EQ(document->loadXML(_bstr_t(text.c_str()), &loaded), S_FALSE);
    const ParseDetails fromText = DetailsOf(document);
    EXPECT_EQ(fromText.line, 2);
    EXPECT_EQ(fromText.sourceText, line.substr(0, 1000));

    // Cut between UTF-8 sequences: the thousandth byte begins a two-byte sequence.
    const std::string wide = "<a>" + std::string(996, 'x') + "\xC3\xA9\xC3\xA9</b>";
    WriteFile("wide.xml", "<r>\n" + wide + "</r>\n");
    ASSERT_EQ(document->load(Text("wide.xml"), &loaded), S_FALSE);
    EXPECT_EQ(DetailsOf(document).sourceText, wide.substr(0, 999));
}

TEST_F(LoadTest, AByteOrderMarkDecidesTheEncodingOverTheDeclaration) {
    const std::string utf8 = "\xEF\xBB\xBF";
    const std::string latin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
    const auto utf16 = [](const std::string& ascii, bool bigEndian) {
        std::string wide = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (const char c : ascii) {
            if (bigEndian) wide += '\0';
            wide += c == '#' ? '\xE9' : c;
            if (!bigEndian) wide += '\0';
        }
        return wide;
    };
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a UTF-8 mark before a Latin-1 declaration", utf8 + latin1Declaration + "<r>Caf\xC3\xA9</r>"},
        {"a UTF-8 mark before a UTF-16 declaration", utf8 + "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>Caf\xC3\xA9</r>"},
        {"a UTF-8 mark and no declaration", utf8 + "<r>Caf\xC3\xA9</r>"},
        {"a UTF-16LE mark before a Latin-1 declaration", utf16(latin1Declaration + "<r>Caf#</r>", false)},
        {"a UTF-16BE mark and no declaration", utf16("<r>Caf#</r>", true)},
        // Without a mark the declaration decides.
        {"a Latin-1 declaration alone", latin1Declaration + "<r>Caf\xE9</r>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("marked.xml", c.bytes);
        IXMLDOMDocumentPtr document = Load("marked.xml");
        EXPECT_NE(XmlOf(document).find("<r>Caf\xC3\xA9</r>"), std::string::npos) << XmlOf(document);
    }
}

TEST_F(LoadTest, InternalEntitiesAreExpandedWithinLibxml2sLimits) {
    WriteFile("entity.xml", "<!DOCTYPE r [<!ENTITY who \"world\">]><r>hello &who;</r>");
    IXMLDOMDocumentPtr document = Load("entity.xml");
    EXPECT_NE(XmlOf(document).find("<r>hello world</r>"), std::string::npos) << XmlOf(document);

    std::string laughs = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    for (char level = 'b'; level <= 'k'; ++level) {
        const char previous = static_cast<char>(level - 1);
        laughs += std::string("<!ENTITY ") + level + " \"";
        for (int i = 0; i < 10; ++i) laughs += std::string("&") + previous + ";";
        laughs += "\">";
    }
    laughs += "]><r>&k;</r>";
    WriteFile("laughs.xml", laughs);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    EXPECT_EQ(document->load(Text("laughs.xml"), &loaded), S_FALSE);
    EXPECT_EQ(loaded, VARIANT_FALSE);
    EXPECT_NE(ParseReason(document).find("(laughs.xml, line 1"), std::string::npos) << ParseReason(document);
}

TEST_F(LoadTest, ObjectsAnswerWhichInterfacesCarryErrorInformation) {
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    IXMLDOMParseErrorPtr parseError;
    ASSERT_EQ(document->get_parseError(&parseError), S_OK);
    struct Case {
        IUnknown* object;
        IID supported;
    };
    const Case cases[] = {{document, __uuidof(IXMLDOMDocument)},
                          {compiled, __uuidof(IXSLTemplate)},
                          {parseError, __uuidof(IXMLDOMParseError)}};
    for (const Case& c : cases) {
        ISupportErrorInfoPtr support;
        ASSERT_EQ(c.object->QueryInterface(&support), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(c.supported), S_OK);
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(__uuidof(IStream)), S_FALSE);
    }
}

// A document of `middle` surrounded by `before` and `after`, which may be large.
std::string Around(const std::string& before, std::size_t size, char fill, const std::string& after) {
    std::string text = before;
    text.append(size, fill);
    return text + after;
}

TEST_F(LoadTest, ValuesOfAnySizeLoadWhileEntityAndDepthLimitsStay) {
    // libxml2 refuses single texts over 10 MB unless its limits are lifted altogether; the
    // service lifts them for lengths only.
    constexpr std::size_t kLarge = std::size_t{11} << 20;
    const struct {
        const char* what;
        std::string text;
        bool loads;
        const char* reason;
    } cases[] = {
        {"a text", Around("<r>", kLarge, 't', "</r>"), true, ""},
        {"an attribute value", Around("<r a='", kLarge, 'v', "'/>"), true, ""},
        {"a CDATA section", Around("<r><![CDATA[", kLarge, 'c', "]]></r>"), true, ""},
        {"a comment", Around("<r><!--", kLarge, 'c', "--></r>"), true, ""},
        {"a name", Around("<r><n", kLarge / 4, 'n', "/></r>"), true, ""},
        {"an attribute default of the internal subset", Around("<!DOCTYPE r [<!ATTLIST r a CDATA '", kLarge, 'd', "'>]><r/>"),
         true, ""},
        // Entities and deep nesting keep libxml2's limits, whatever else the document holds.
        {"entities declared beside a large value",
         Around("<!DOCTYPE r [<!ENTITY e 'x'>]><r a='", kLarge, 'v', "'>&e;</r>"), false, "(large.xml, line 1"},
        {"300 nested elements", [] {
             std::string deep;
             for (int i = 0; i < 300; ++i) deep += "<d>";
             for (int i = 0; i < 300; ++i) deep += "</d>";
             return deep;
         }(),
         false, "Excessive depth in document"},
        {"256 nested elements", [] {
             std::string deep;
             for (int i = 0; i < 256; ++i) deep += "<d>";
             for (int i = 0; i < 256; ++i) deep += "</d>";
             return deep;
         }(),
         true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("large.xml", c.text);
        IXMLDOMDocumentPtr document(CLSID_DOMDocument);
        VARIANT_BOOL loaded = VARIANT_FALSE;
        EXPECT_EQ(document->load(Text("large.xml"), &loaded), c.loads ? S_OK : S_FALSE);
        EXPECT_EQ(loaded, c.loads ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_NE(ParseReason(document).find(c.reason), std::string::npos) << ParseReason(document);
    }
}

TEST_F(LoadTest, AttributeDefaultsOfTheInternalSubsetAreApplied) {
    // Defaults and fixed values fill in what an element leaves out; a value given stays. The
    // external DTD named beside the internal subset is never read, and its absence is no error.
    WriteFile("defaults.xml",
              "<!DOCTYPE list SYSTEM \"missing.dtd\" [<!ATTLIST item state CDATA \"new\" lang CDATA #FIXED \"en\""
              " note CDATA #IMPLIED>]><list><item/><item state=\"old\"/></list>");
    IXMLDOMDocumentPtr document = Load("defaults.xml");
    const std::string xml = XmlOf(document);
    EXPECT_NE(xml.find("<item state=\"new\" lang=\"en\"/><item state=\"old\" lang=\"en\"/>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("note="), std::string::npos) << xml;
}

TEST_F(LoadTest, NamespaceWarningsNeverFailALoadWhileNamespaceErrorsDo) {
    const struct {
        const char* text;
        bool loads;
    } cases[] = {
        // Namespace names that are not valid URIs, or relative ones: libxml2 warns.
        {"<r xmlns='a\\b'/>", true},
        {"<r xmlns:p='with \"quote\"'><p:x/></r>", true},
        {"<r xmlns:p='relative/name'><p:x/></r>", true},
        // Another prefix bound to the xml namespace: libxml2 leaves the declaration out.
        {"<r xmlns:ws='http://www.w3.org/XML/1998/namespace' xml:lang='en'/>", true},
        // A prefix never declared, or declared empty, is an error; so are the xml prefix bound to
        // another namespace, the xml namespace as the default one, and a declared xmlns prefix.
        {"<r><p:x/></r>", false},
        {"<r xmlns:p=''/>", false},
        {"<r xmlns:xml='urn:other'/>", false},
        {"<r xmlns='http://www.w3.org/XML/1998/namespace'/>", false},
        {"<r xmlns:xmlns='urn:other'/>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        IXMLDOMDocumentPtr document(CLSID_DOMDocument);
        VARIANT_BOOL loaded = VARIANT_FALSE;
        EXPECT_EQ(document->loadXML(_bstr_t(c.text), &loaded), c.loads ? S_OK : S_FALSE);
        EXPECT_EQ(loaded, c.loads ? VARIANT_TRUE : VARIANT_FALSE) << ParseReason(document);
    }
}

// A caller that uses libxml2 itself on the same thread keeps the message handlers it set: the
// service's calls route them to their own records only while they run.
std::string gCallersMessages;
void NoteCallersError(void*, ErrorArgumentOf<xmlStructuredErrorFunc>::type error) {
    gCallersMessages += "structured:";
    gCallersMessages += error != nullptr && error->message != nullptr ? error->message : "?";
}
void NoteCallersText(void*, const char* format, ...) { gCallersMessages += std::string("generic:") + format; }

TEST_F(LoadTest, TheCallersOwnLibxml2MessageHandlersComeBackAfterEachCall) {
    WriteFile("broken.xml", "<a><b></a>");
    int context = 0;
    xmlSetStructuredErrorFunc(&context, NoteCallersError);
    xmlSetGenericErrorFunc(&context, NoteCallersText);
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    ASSERT_EQ(document->load(Text("broken.xml"), &loaded), S_FALSE);
    EXPECT_NE(ParseReason(document), "");
    // The service's own error went to its record, not to the caller's handlers.
    EXPECT_EQ(gCallersMessages, "");
    EXPECT_EQ(xmlStructuredErrorContext, &context);
    EXPECT_EQ(xmlGenericErrorContext, &context);
    // And the caller's next error of its own reaches its handler.
    xmlDocPtr parsed = xmlReadMemory("<x>", 3, "caller.xml", nullptr, XML_PARSE_NONET);
    EXPECT_EQ(parsed, nullptr);
    xmlFreeDoc(parsed);
    EXPECT_NE(gCallersMessages.find("structured:"), std::string::npos);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    xmlSetGenericErrorFunc(nullptr, nullptr);
}

}  // namespace
