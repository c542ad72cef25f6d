// The fixed safety policy: no network, no external DTD or entity, reads only inside the
// folders of the loaded documents, no writes at all. Every refusal fails the call and says why.
#include "service_test.h"

#include <sys/stat.h>

namespace {

constexpr char kInput[] = "<catalog><book><price>30</price></book></catalog>";

std::string Stylesheet(const std::string& body, const std::string& extra = "") {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"" + extra + ">" + body +
           "<xsl:output method=\"text\"/></xsl:stylesheet>";
}

// The test's folder holds Input (the loaded documents) and, beside it, Outside with files that
// must stay out of reach, also through symbolic links placed inside Input.
class PolicyTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        WriteFile("Input/books.xml", kInput);
        WriteFile("Input/inside.xml", "<inside>ok</inside>");
        WriteFile("Outside/secret.xml", "<secret>leaked</secret>");
        WriteFile("Outside/secret.xsl", Stylesheet("<xsl:template name=\"secret\">leaked</xsl:template>"));
        std::filesystem::create_symlink("../Outside/secret.xsl", "Input/link.xsl");
        std::filesystem::create_symlink("../Outside", "Input/linked");
    }

    // Compiles Input\trans.xsl holding `stylesheet`, expecting a refusal that mentions `mention`.
    void ExpectCompileRefused(const std::string& stylesheet, const std::string& mention) {
        WriteFile("Input/trans.xsl", stylesheet);
        IXMLDOMDocumentPtr document = Load("Input\\trans.xsl");
        IXSLTemplatePtr compiled(CLSID_XSLTemplate);
        const HRESULT result = compiled->putref_stylesheet(document);
        EXPECT_EQ(result, E_ACCESSDENIED) << stylesheet;
        const std::string description = TakeErrorDescription();
        EXPECT_NE(description.find(mention), std::string::npos) << description;
        EXPECT_EQ(description.find("leaked"), std::string::npos);
        IXSLProcessorPtr processor;
        const HRESULT created = compiled->createProcessor(&processor);
        EXPECT_EQ(created, E_ACCESSDENIED);
        EXPECT_EQ(RaisedDescription(created, compiled, __uuidof(IXSLTemplate)), description);
    }

    // Runs Input\trans.xsl holding `stylesheet` over Input\books.xml, expecting a refusal that
    // mentions `mention` and nothing written.
    void ExpectTransformRefused(const std::string& stylesheet, const std::string& mention) {
        WriteFile("Input/trans.xsl", stylesheet);
        const FailedTransform failed = TransformFailing("Input\\trans.xsl", "Input\\books.xml");
        EXPECT_EQ(failed.output, "") << stylesheet;
        EXPECT_EQ(failed.code, E_ACCESSDENIED) << stylesheet;
        EXPECT_NE(failed.description.find(mention), std::string::npos) << failed.description;
        EXPECT_EQ(failed.description.find("leaked"), std::string::npos);
    }
};

TEST_F(PolicyTest, ExternalEntitiesAndDtdsAreNeverLoaded) {
    const std::string secret = Absolute("Outside/secret.xml");
    struct Case {
        std::string document;
        std::string reason;
    };
    const Case cases[] = {
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"../Outside/secret.xml\">]>\n<r>&e;</r>",
         "The external entity \"" + secret +
             "\" is refused: external entities and DTDs are never loaded (Input\\doc.xml, line 2, column 7)"},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM \"../Outside/secret.xml\"> %p;]>\n<r/>",
         "The external entity \"" + secret + "\" is refused: external entities and DTDs are never loaded"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"http://127.0.0.1:9/e.xml\">]><r>&e;</r>",
         "The external entity \"http://127.0.0.1:9/e.xml\" is refused"},
    };
    for (const Case& c : cases) {
        WriteFile("Input/doc.xml", c.document);
        IXMLDOMDocumentPtr document(CLSID_DOMDocument);
        VARIANT_BOOL loaded = VARIANT_TRUE;
        EXPECT_EQ(document->load(Text("Input\\doc.xml"), &loaded), S_FALSE) << c.document;
        EXPECT_EQ(loaded, VARIANT_FALSE);
        EXPECT_EQ(ParseReason(document).substr(0, c.reason.size()), c.reason);
    }

    // A document naming an external DTD loads without it: its defaults never arrive.
    WriteFile("Input/defaults.dtd", "<!ATTLIST r from CDATA \"the-dtd\">");
    WriteFile("Input/doc.xml", "<!DOCTYPE r SYSTEM \"defaults.dtd\"><r/>");
    IXMLDOMDocumentPtr document = Load("Input\\doc.xml");
    BSTR xml = nullptr;
    ASSERT_EQ(document->get_xml(&xml), S_OK);
    EXPECT_EQ(Narrow(xml).find("the-dtd"), std::string::npos) << Narrow(xml);
    SysFreeString(xml);
}

TEST_F(PolicyTest, ModulesOutsideTheFolderAreRefused) {
    const std::string outside = Absolute("Outside/secret.xsl");
    const std::string cases[][2] = {
        {"<xsl:include href=\"" + outside + "\"/>", "Reading \"" + outside + "\" is refused: only files inside \"" +
                                                       Absolute("Input") + "\" may be read"},
        {"<xsl:include href=\"file://" + outside + "\"/>", "Reading \"" + outside + "\" is refused"},
        {"<xsl:include href=\"../Outside/secret.xsl\"/>", "Reading \"" + outside + "\" is refused"},
        {"<xsl:import href=\"../Outside/secret.xsl\"/>", "Reading \"" + outside + "\" is refused"},
        {"<xsl:include href=\"link.xsl\"/>",
         "Reading \"" + Absolute("Input/link.xsl") + "\" is refused: only files inside \"" + Absolute("Input") +
             "\" may be read (it resolves to \"" + outside + "\")"},
        {"<xsl:import href=\"linked/secret.xsl\"/>", "(it resolves to \"" + outside + "\")"},
        {"<xsl:include href=\"http://127.0.0.1:9/x.xsl\"/>",
         "Reading \"http://127.0.0.1:9/x.xsl\" is refused: there is no network access"},
    };
    for (const auto& [element, mention] : cases) ExpectCompileRefused(Stylesheet(element), mention);
}

TEST_F(PolicyTest, DocumentsOutsideTheFolderAreRefused) {
    const std::string secret = Absolute("Outside/secret.xml");
    WriteFile("Input/entity.xml", "<!DOCTYPE r [<!ENTITY e SYSTEM \"../Outside/secret.xml\">]><r>&e;</r>");
    const std::string cases[][2] = {
        {"document('" + secret + "')", "Reading \"" + secret + "\" is refused: only files inside"},
        {"document('../Outside/secret.xml')", "Reading \"" + secret + "\" is refused"},
        {"document('linked/secret.xml')", "(it resolves to \"" + secret + "\")"},
        {"document('http://127.0.0.1:9/x.xml')", "Reading \"http://127.0.0.1:9/x.xml\" is refused: there is no network access"},
        {"document('entity.xml')", "The external entity \"" + secret + "\" is refused"},
    };
    for (const auto& [call, mention] : cases)
        ExpectTransformRefused(Stylesheet("<xsl:template match=\"/\">x<xsl:value-of select=\"" + call +
                                          "\"/></xsl:template>"),
                               mention);
}

TEST_F(PolicyTest, TheFoldersOfTheStylesheetAndOfTheInputAreBothOpen) {
    WriteFile("Styles/trans.xsl",
              Stylesheet("<xsl:template match=\"/\"><xsl:value-of select=\"document('../Input/inside.xml')\"/>"
                         "</xsl:template>"));
    EXPECT_EQ(Transform("Styles\\trans.xsl", "Input\\books.xml"), "ok");
}

TEST_F(PolicyTest, DocumentsThatAreLinksReadFromTheFolderTheCallerNamed) {
    // Both principal documents are links to files in Outside/, beside the secrets; they load, but
    // what they read relative to themselves comes from Input/, where the caller named them.
    WriteFile("Outside/books.xml", kInput);
    WriteFile("Outside/trans.xsl",
              Stylesheet("<xsl:include href=\"module.xsl\"/><xsl:template match=\"/\"><xsl:call-template"
                         " name=\"module\"/>|<xsl:value-of select=\"document('secret.xml', /)\"/>|<xsl:value-of"
                         " select=\"count(document('secret.xml', /) | document('inside.xml'))\"/></xsl:template>"));
    WriteFile("Outside/module.xsl", Stylesheet("<xsl:template name=\"module\">leaked</xsl:template>"));
    WriteFile("Input/module.xsl", Stylesheet("<xsl:template name=\"module\">module of Input</xsl:template>"));
    WriteFile("Input/secret.xml", "<inside>document of Input</inside>");
    std::filesystem::create_symlink("../Outside/books.xml", "Input/linked-books.xml");
    std::filesystem::create_symlink(Absolute("Outside/trans.xsl"), "Input/linked-trans.xsl");
    EXPECT_EQ(Transform("Input\\linked-trans.xsl", "Input\\linked-books.xml"), "module of Input|document of Input|2");

    IXMLDOMDocumentPtr document = Load("Input\\linked-books.xml");
    BSTR url = nullptr;
    ASSERT_EQ(document->get_url(&url), S_OK);
    EXPECT_EQ(Narrow(url), "file://" + Absolute("Input/linked-books.xml"));
    SysFreeString(url);

    // A read through a link that leads out stays refused, from a linked document too.
    WriteFile("Outside/escape.xsl", Stylesheet("<xsl:template match=\"/\"><xsl:value-of"
                                               " select=\"document('linked/secret.xml')\"/></xsl:template>"));
    std::filesystem::create_symlink("../Outside/escape.xsl", "Input/linked-escape.xsl");
    const FailedTransform failed = TransformFailing("Input\\linked-escape.xsl", "Input\\linked-books.xml");
    EXPECT_EQ(failed.code, E_ACCESSDENIED);
    EXPECT_NE(failed.description.find("(it resolves to \"" + Absolute("Outside/secret.xml") + "\")"), std::string::npos)
        << failed.description;
}

TEST_F(PolicyTest, ModulesAndDocumentsThatAreNoRegularFilesAreNeverWaitedOn) {
    // A named pipe that nothing writes to: opening it to read would wait for ever.
    ASSERT_EQ(mkfifo("Input/pipe.xml", 0644), 0);
    WriteFile("Input/trans.xsl", Stylesheet("<xsl:include href=\"pipe.xml\"/>"));
    IXMLDOMDocumentPtr document = Load("Input\\trans.xsl");
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    EXPECT_TRUE(FAILED(compiled->putref_stylesheet(document)));
    const std::string description = TakeErrorDescription();
    EXPECT_NE(description.find("The file \"" + Absolute("Input/pipe.xml") +
                               "\" is not a regular file (it is a named pipe); only regular files are read"),
              std::string::npos)
        << description;

    // document() of it ends as a document that cannot be read ends: an empty node-set, or an
    // error that says why.
    WriteFile("Input/trans.xsl", Stylesheet("<xsl:template match=\"/\">[<xsl:value-of"
                                            " select=\"count(document('pipe.xml'))\"/>]</xsl:template>"));
    const IXSLTemplatePtr reading = Compile("Input\\trans.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(reading->createProcessor(&processor), S_OK);
    HRESULT result = S_OK;
    const std::string output = Run(processor, Load("Input\\books.xml"), &result);
    if (SUCCEEDED(result)) {
        EXPECT_EQ(output, "[0]");
    } else {
        EXPECT_NE(RaisedDescription(result, processor, __uuidof(IXSLProcessor)).find("is not a regular file"),
                  std::string::npos);
    }
}

TEST_F(PolicyTest, AStylesheetLoadedFromTextMayReadNoFile) {
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const std::string stylesheet = Stylesheet("<xsl:include href=\"Input/inside.xml\"/>");
    ASSERT_EQ(document->loadXML(_bstr_t(stylesheet.c_str()), &loaded), S_OK);
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    EXPECT_EQ(compiled->putref_stylesheet(document), E_ACCESSDENIED);
    EXPECT_EQ(TakeErrorDescription(),
              "Reading \"Input/inside.xml\" is refused: no folder is open to reading, as the documents were not loaded "
              "from files");
}

TEST_F(PolicyTest, ATransformationWritesNoFileAndCreatesNoFolder) {
    const std::string cases[][2] = {
        {Stylesheet("<xsl:template match=\"/\"><exsl:document href=\"written.txt\" method=\"text\">x</exsl:document>"
                    "</xsl:template>",
                    " xmlns:exsl=\"http://exslt.org/common\" extension-element-prefixes=\"exsl\""),
         "Writing the file \"written.txt\" is refused: a transformation may not write files"},
        {Stylesheet("<xsl:template match=\"/\"><exsl:document href=\"newfolder/written.txt\">x</exsl:document>"
                    "</xsl:template>",
                    " xmlns:exsl=\"http://exslt.org/common\" extension-element-prefixes=\"exsl\""),
         "Writing the file \"newfolder/written.txt\" is refused"},
        {"<xsl:stylesheet version=\"1.1\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"><xsl:template match=\"/\">"
         "<xsl:document href=\"" + Absolute("written.txt") + "\">x</xsl:document></xsl:template></xsl:stylesheet>",
         "Writing the file \"" + Absolute("written.txt") + "\" is refused"},
    };
    for (const auto& [stylesheet, mention] : cases) {
        ExpectTransformRefused(stylesheet, mention);
        EXPECT_FALSE(std::filesystem::exists("Input/written.txt"));
        EXPECT_FALSE(std::filesystem::exists("Input/newfolder"));
        EXPECT_FALSE(std::filesystem::exists("written.txt"));
    }
}

}  // namespace
