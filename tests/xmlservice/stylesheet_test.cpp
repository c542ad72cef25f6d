// Compiling stylesheets and running processors: compile and runtime errors, parameters,
// relative modules and documents, and the extension functions.
#include "service_test.h"

namespace {

class StylesheetTest : public ServiceTest {};

constexpr char kInput[] = "<catalog><book><price>30</price></book><book><price>40</price></book></catalog>";

std::string Stylesheet(const std::string& body, const std::string& extra = "") {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"" + extra + ">\n" +
           body + "\n<xsl:output method=\"text\"/>\n</xsl:stylesheet>\n";
}

std::string XmlOf(IXMLDOMNode* node) {
    BSTR xml = nullptr;
    EXPECT_EQ(node->get_xml(&xml), S_OK);
    std::string text = Narrow(xml);
    SysFreeString(xml);
    return text;
}

// A node that is not a document of the service.
class ForeignNode final : public com::Object<IXMLDOMNode> {
public:
    HRESULT get_nodeName(BSTR* name) noexcept override {
        *name = SysAllocString(u"foreign");
        return S_OK;
    }
    HRESULT get_xml(BSTR* xml) noexcept override {
        *xml = SysAllocString(u"<xsl:stylesheet/>");
        return S_OK;
    }
};

TEST_F(StylesheetTest, CompileErrorsFailPutrefAndThenCreateProcessorWithTheSameDescription) {
    struct Case {
        std::string stylesheet;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {Stylesheet("<xsl:template match=\"/\"><xsl:value-of select=\"1 +\"/></xsl:template>"),
         {"Invalid expression in \"1 +\"", "file Input\\trans.xsl line 2 element value-of",
          "could not compile select expression '1 +'"}},
        {Stylesheet("<xsl:template match=\"a[\">x</xsl:template>"), {"failed to compile 'a['"}},
        {"<notastylesheet/>", {"document is not a stylesheet"}},
    };
    for (const Case& c : cases) {
        WriteFile("Input/trans.xsl", c.stylesheet);
        IXMLDOMDocumentPtr stylesheet = Load("Input\\trans.xsl");
        IXSLTemplatePtr compiled(CLSID_XSLTemplate);
        const HRESULT result = compiled->putref_stylesheet(stylesheet);
        EXPECT_EQ(result, xmlservice::E_COMPILE_FAILED);
        const std::string description = TakeErrorDescription();
        for (const std::string& mention : c.mentions) EXPECT_NE(description.find(mention), std::string::npos) << description;

        IXSLProcessorPtr processor;
        const HRESULT created = compiled->createProcessor(&processor);
        EXPECT_EQ(created, xmlservice::E_COMPILE_FAILED);
        EXPECT_FALSE(processor);
        EXPECT_EQ(RaisedDescription(created, compiled, __uuidof(IXSLTemplate)), description);
    }
}

TEST_F(StylesheetTest, PutrefNeedsALoadedDocumentOfTheService) {
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    IXSLProcessorPtr processor;
    EXPECT_EQ(compiled->createProcessor(&processor), xmlservice::E_NOT_READY);
    EXPECT_EQ(TakeErrorDescription(), "There is no stylesheet: putref_stylesheet has not been called");

    IXMLDOMDocumentPtr empty(CLSID_FreeThreadedDOMDocument);
    EXPECT_EQ(compiled->putref_stylesheet(empty), xmlservice::E_NOT_READY);
    EXPECT_EQ(TakeErrorDescription(), "The stylesheet document holds nothing: it has not been loaded");
    EXPECT_EQ(compiled->createProcessor(&processor), xmlservice::E_NOT_READY);
    EXPECT_EQ(TakeErrorDescription(), "The stylesheet document holds nothing: it has not been loaded");

    IXMLDOMNodePtr foreign;
    foreign.Attach(new ForeignNode());
    EXPECT_EQ(compiled->putref_stylesheet(foreign), E_INVALIDARG);
    EXPECT_EQ(TakeErrorDescription(), "The stylesheet is not a document of the XML service");
    EXPECT_EQ(compiled->putref_stylesheet(nullptr), E_INVALIDARG);
    EXPECT_EQ(TakeErrorDescription(), "putref_stylesheet needs a document, not a null pointer");
}

TEST_F(StylesheetTest, TheStylesheetDocumentStaysUsableAfterCompiling) {
    WriteFile("Input/trans.xsl", Stylesheet("<xsl:strip-space elements=\"*\"/>\n"
                                            "<xsl:template match=\"/\">[<xsl:value-of select=\"count(//text())\"/>]"
                                            "</xsl:template>"));
    WriteFile("Input/books.xml", "<catalog>\n  <book>A</book>\n</catalog>");
    IXMLDOMDocumentPtr stylesheet = Load("Input\\trans.xsl");
    IXMLDOMDocumentPtr input = Load("Input\\books.xml");
    const std::string stylesheetBefore = XmlOf(stylesheet);
    const std::string inputBefore = XmlOf(input);

    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    ASSERT_EQ(compiled->putref_stylesheet(stylesheet), S_OK);
    ASSERT_EQ(compiled->putref_stylesheet(stylesheet), S_OK);
    IXMLDOMNodePtr held;
    ASSERT_EQ(compiled->get_stylesheet(&held), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(held), static_cast<IUnknown*>(IUnknownPtr(stylesheet)));
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    // xsl:strip-space leaves one text node of three; the loaded document keeps all of them.
    EXPECT_EQ(Run(processor, input), "[1]");
    EXPECT_EQ(Run(processor, input), "[1]");
    EXPECT_EQ(XmlOf(stylesheet), stylesheetBefore);
    EXPECT_EQ(XmlOf(input), inputBefore);

    // The stylesheet document can be the input as well.
    WriteFile("Input/self.xsl", Stylesheet("<xsl:template match=\"/\"><xsl:value-of select=\"name(*)\"/></xsl:template>"));
    IXMLDOMDocumentPtr self = Load("Input\\self.xsl");
    ASSERT_EQ(compiled->putref_stylesheet(self), S_OK);
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    EXPECT_EQ(Run(processor, self), "xsl:stylesheet");
}

TEST_F(StylesheetTest, AProcessorKeepsTheStylesheetItWasMadeFrom) {
    WriteFile("one.xsl", Stylesheet("<xsl:template match=\"/\">one</xsl:template>"));
    WriteFile("two.xsl", Stylesheet("<xsl:template match=\"/\">two</xsl:template>"));
    WriteFile("in.xml", kInput);
    IXSLTemplatePtr compiled = Compile("one.xsl");
    IXSLProcessorPtr first;
    ASSERT_EQ(compiled->createProcessor(&first), S_OK);
    IXMLDOMDocumentPtr two = Load("two.xsl");
    ASSERT_EQ(compiled->putref_stylesheet(two), S_OK);
    IXSLProcessorPtr second;
    ASSERT_EQ(compiled->createProcessor(&second), S_OK);
    IXMLDOMDocumentPtr input = Load("in.xml");
    EXPECT_EQ(Run(first, input), "one");
    EXPECT_EQ(Run(second, input), "two");
    IXSLTemplatePtr owner;
    ASSERT_EQ(first->get_ownerTemplate(&owner), S_OK);
    EXPECT_EQ(owner.GetInterfacePtr(), compiled.GetInterfacePtr());
}

TEST_F(StylesheetTest, ParametersArriveAsStringsNumbersAndBooleans) {
    WriteFile("param.xsl",
              Stylesheet("<xsl:param name=\"p\" select=\"'unset'\"/>\n"
                         "<xsl:template match=\"/\"><xsl:value-of select=\"$p\"/>|<xsl:value-of select=\"$p = '35.0'\"/>|"
                         "<xsl:value-of select=\"boolean($p)\"/></xsl:template>"));
    WriteFile("in.xml", kInput);
    IXSLTemplatePtr compiled = Compile("param.xsl");
    IXMLDOMDocumentPtr input = Load("in.xml");
    // The second column tells a number (35 = '35.0') from a string; the third a boolean or a
    // number zero from a non-empty string.
    struct Case {
        _variant_t value;
        std::string expected;
    };
    const Case cases[] = {
        {Text("35"), "35|false|true"},
        {_variant_t(35), "35|true|true"},
        {_variant_t(35.0), "35|true|true"},
        {_variant_t(-2.5), "-2.5|false|true"},
        {_variant_t(0.1), "0.1|false|true"},
        {_variant_t(1.5e300), "1.5e+300|false|true"},
        {_variant_t(true), "true|true|true"},
        {_variant_t(false), "false|false|false"},
        {Text("0"), "0|false|true"},
        {_variant_t(0), "0|false|false"},
        {Text("1 + 1"), "1 + 1|false|true"},
        {Text("$p"), "$p|false|true"},
        {Text("He said \"it's\" twice"), "He said \"it's\" twice|false|true"},
        {Text("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9|false|true"},
        {Text(""), "|false|false"},
    };
    for (const Case& c : cases) {
        IXSLProcessorPtr processor;
        ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
        ASSERT_EQ(processor->addParameter(_bstr_t("p"), c.value, _bstr_t("")), S_OK) << TakeErrorDescription();
        EXPECT_EQ(Run(processor, input), c.expected);
    }

    // Adding a parameter again replaces it; an empty value withdraws it.
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    ASSERT_EQ(processor->addParameter(_bstr_t("p"), Text("first"), nullptr), S_OK);
    ASSERT_EQ(processor->addParameter(_bstr_t("p"), Text("second"), nullptr), S_OK);
    EXPECT_EQ(Run(processor, input), "second|false|true");
    ASSERT_EQ(processor->addParameter(_bstr_t("p"), _variant_t(), nullptr), S_OK);
    EXPECT_EQ(Run(processor, input), "unset|false|true");
}

TEST_F(StylesheetTest, AParameterWithANamespaceReachesOnlyThatName) {
    WriteFile("param.xsl", Stylesheet("<xsl:param name=\"x:p\" select=\"'unset'\"/><xsl:param name=\"p\" select=\"'plain'\"/>\n"
                                      "<xsl:template match=\"/\"><xsl:value-of select=\"concat($x:p, '/', $p)\"/></xsl:template>",
                                      " xmlns:x=\"urn:example:x\""));
    WriteFile("in.xml", kInput);
    IXSLTemplatePtr compiled = Compile("param.xsl");
    IXMLDOMDocumentPtr input = Load("in.xml");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    ASSERT_EQ(processor->addParameter(_bstr_t("p"), Text("qualified"), _bstr_t("urn:example:x")), S_OK);
    EXPECT_EQ(Run(processor, input), "qualified/plain");
}

TEST_F(StylesheetTest, AddParameterRefusesBadNamesAndValues) {
    WriteFile("param.xsl", Stylesheet("<xsl:template match=\"/\"/>"));
    IXSLTemplatePtr compiled = Compile("param.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    struct Case {
        std::string name;
        _variant_t value;
        std::string description;
    };
    IUnknownPtr someObject(compiled);
    const Case cases[] = {
        {"1p", Text("v"), "The parameter name \"1p\" is not an XML name"},
        {"x:p", Text("v"), "The parameter name \"x:p\" is not an XML name"},
        {"", Text("v"), "The parameter name \"\" is not an XML name"},
        {"p", _variant_t(static_cast<IUnknown*>(someObject)),
         "The value of parameter \"p\" must be a string, a number or a boolean, not VT_UNKNOWN"},
    };
    for (const Case& c : cases) {
        const HRESULT result = processor->addParameter(_bstr_t(c.name.c_str()), c.value, nullptr);
        EXPECT_EQ(result, E_INVALIDARG);
        EXPECT_EQ(RaisedDescription(result, processor, __uuidof(IXSLProcessor)), c.description);
    }
}

TEST_F(StylesheetTest, RuntimeErrorsFailTheTransformationWithOneLine) {
    WriteFile("in.xml", kInput);
    struct Case {
        std::string body;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {"<xsl:template match=\"/\">partial<xsl:message>first note</xsl:message>"
         "<xsl:message terminate=\"yes\">stopped <xsl:value-of select=\"count(//book)\"/></xsl:message></xsl:template>",
         {"first note", "stopped 2"}},
        {"<xsl:template match=\"/\"><xsl:call-template name=\"r\"/></xsl:template>"
         "<xsl:template name=\"r\"><x><xsl:call-template name=\"r\"/></x></xsl:template>",
         {"infinite template recursion", "file error.xsl line 2 element x"}},
        {"<xsl:template match=\"/\"><xsl:value-of select=\"nope(1)\"/></xsl:template>",
         {"nope", "Unregistered function"}},
        {"<xsl:template match=\"/\"><xsl:value-of select=\"$undeclared\"/></xsl:template>",
         {"Variable 'undeclared' has not been declared"}},
    };
    for (const Case& c : cases) {
        WriteFile("error.xsl", Stylesheet(c.body));
        const FailedTransform failed = TransformFailing("error.xsl", "in.xml");
        EXPECT_EQ(failed.output, "") << "nothing is written after a failure";
        EXPECT_EQ(failed.code, xmlservice::E_TRANSFORM_FAILED);
        const std::string& description = failed.description;
        for (const std::string& mention : c.mentions) EXPECT_NE(description.find(mention), std::string::npos) << description;
        EXPECT_EQ(description.find("Templates:"), std::string::npos) << description;
        EXPECT_EQ(description.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(failed.readyState, READYSTATE_COMPLETE);
    }
}

TEST_F(StylesheetTest, TransformNeedsAnInputAndAnOutput) {
    WriteFile("t.xsl", Stylesheet("<xsl:template match=\"/\">x</xsl:template>"));
    WriteFile("in.xml", kInput);
    IXSLTemplatePtr compiled = Compile("t.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    VARIANT_BOOL done = VARIANT_TRUE;
    EXPECT_EQ(processor->transform(&done), xmlservice::E_NOT_READY);
    EXPECT_EQ(done, VARIANT_FALSE);
    EXPECT_EQ(TakeErrorDescription(), "The processor has no input: put_input has not been given a document");

    IXMLDOMDocumentPtr unloaded(CLSID_DOMDocument);
    ASSERT_EQ(processor->put_input(_variant_t(static_cast<IUnknown*>(unloaded))), S_OK);
    EXPECT_EQ(processor->transform(&done), xmlservice::E_NOT_READY);
    EXPECT_EQ(TakeErrorDescription(), "The input document holds nothing: it has not been loaded");

    IXMLDOMDocumentPtr input = Load("in.xml");
    ASSERT_EQ(processor->put_input(_variant_t(static_cast<IUnknown*>(input))), S_OK);
    EXPECT_EQ(processor->transform(&done), xmlservice::E_NOT_READY);
    EXPECT_EQ(TakeErrorDescription(), "The processor has no output: put_output has not been given a stream");

    EXPECT_EQ(processor->put_input(_variant_t(static_cast<IUnknown*>(compiled))), E_INVALIDARG);
    EXPECT_EQ(TakeErrorDescription(), "put_input needs a document of the XML service as VT_UNKNOWN, not VT_UNKNOWN");
    EXPECT_EQ(processor->put_input(Text("in.xml")), E_INVALIDARG);
    EXPECT_EQ(TakeErrorDescription(), "put_input needs a document of the XML service as VT_UNKNOWN, not VT_BSTR");
    EXPECT_EQ(processor->put_output(Text("out.txt")), E_INVALIDARG);
    EXPECT_EQ(TakeErrorDescription(), "put_output needs an IStream as VT_UNKNOWN, not VT_BSTR");

    VARIANT held;
    ASSERT_EQ(processor->get_input(&held), S_OK);
    EXPECT_EQ(held.vt, VT_UNKNOWN);
    EXPECT_EQ(held.punkVal, static_cast<IUnknown*>(input));
    VariantClear(&held);
}

TEST_F(StylesheetTest, ModulesAndDocumentsResolveRelativeToTheStylesheet) {
    // The stylesheet lies one folder below the working directory, so names relative to the
    // working directory would not be found.
    WriteFile("Input/trans.xsl",
              Stylesheet("<xsl:import href=\"lib/imported.xsl\"/>\n<xsl:include href=\"lib/included.xsl\"/>\n"
                         "<xsl:template match=\"/\"><xsl:call-template name=\"included\"/>|"
                         "<xsl:apply-templates select=\"document('data/prices.xml')//price\"/>|"
                         "<xsl:value-of select=\"count(document('')//xsl:template)\"/></xsl:template>"));
    WriteFile("Input/lib/included.xsl",
              Stylesheet("<xsl:include href=\"nested.xsl\"/><xsl:template name=\"included\">included+<xsl:call-template "
                         "name=\"nested\"/></xsl:template>"));
    WriteFile("Input/lib/nested.xsl", Stylesheet("<xsl:template name=\"nested\">nested</xsl:template>"));
    WriteFile("Input/lib/imported.xsl",
              Stylesheet("<xsl:template match=\"price\">imported(<xsl:value-of select=\".\"/>)</xsl:template>"));
    WriteFile("Input/data/prices.xml", "<prices><price>1</price><price>2</price></prices>");
    WriteFile("Input/books.xml", kInput);
    EXPECT_EQ(Transform("Input\\trans.xsl", "Input\\books.xml"), "included+nested|imported(1)imported(2)|1");
}

TEST_F(StylesheetTest, ExsltAndThePlatformsNodeSetFunctionWork) {
    WriteFile("ext.xsl",
              Stylesheet("<xsl:variable name=\"tree\"><i>3</i><i>1</i><i>3</i></xsl:variable>\n"
                         "<func:function name=\"my:twice\"><xsl:param name=\"n\"/><func:result select=\"$n * 2\"/>"
                         "</func:function>\n"
                         "<xsl:template match=\"/\">"
                         "<xsl:value-of select=\"count(msxsl:node-set($tree)/i)\"/>|"
                         "<xsl:value-of select=\"math:max(exsl:node-set($tree)/i)\"/>|"
                         "<xsl:value-of select=\"count(set:distinct(exsl:node-set($tree)/i))\"/>|"
                         "<xsl:for-each select=\"str:tokenize('a,b', ',')\"><xsl:value-of select=\".\"/>;</xsl:for-each>|"
                         "<xsl:value-of select=\"my:twice(21)\"/>"
                         "</xsl:template>",
                         " xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" xmlns:exsl=\"http://exslt.org/common\""
                         " xmlns:math=\"http://exslt.org/math\" xmlns:set=\"http://exslt.org/sets\""
                         " xmlns:str=\"http://exslt.org/strings\" xmlns:func=\"http://exslt.org/functions\""
                         " xmlns:my=\"urn:example:my\" extension-element-prefixes=\"func\""));
    WriteFile("in.xml", kInput);
    EXPECT_EQ(Transform("ext.xsl", "in.xml"), "3|3|2|a;b;|42");
}

// XPath sorts node sets into document order by the ranks the parser gave the elements; trees
// that no parse numbered (entity expansions, trees without their whitespace, result fragments)
// must come out in the same order.
TEST_F(StylesheetTest, NodeSetsComeOutInDocumentOrderHoweverTheTreeWasBuilt) {
    const std::string listed =
        "<xsl:template match=\"/\"><xsl:for-each select=\"//c | //b | //a\"><xsl:value-of select=\"@n\"/>,"
        "</xsl:for-each>|<xsl:for-each select=\"(//b)[last()]/ancestor::*\"><xsl:value-of select=\"name()\"/>,"
        "</xsl:for-each></xsl:template>";
    const struct {
        const char* name;
        std::string stylesheet;
        std::string input;
        std::string expected;
    } cases[] = {
        {"parsed", Stylesheet(listed),
         "<r><a n=\"1\"><b n=\"2\"/></a><c n=\"3\"><a n=\"4\"><b n=\"5\"/></a></c></r>", "1,2,3,4,5,|r,c,a,"},
        {"entities expanded", Stylesheet(listed),
         "<!DOCTYPE r [<!ENTITY e \"<a n='x'><b n='y'/></a>\">]>"
         "<r><c n=\"1\"/>&e;<c n=\"2\"/>&e;<c n=\"3\"><a n=\"4\"><b n=\"5\"/></a></c></r>",
         "1,x,y,2,x,y,3,4,5,|r,c,a,"},
        {"whitespace stripped", Stylesheet("<xsl:strip-space elements=\"*\"/>" + listed),
         "<r>\n <a n=\"1\">\n  <b n=\"2\"/>\n </a>\n <c n=\"3\">\n  <a n=\"4\"><b n=\"5\"/></a>\n </c>\n</r>",
         "1,2,3,4,5,|r,c,a,"},
        {"result fragment",
         Stylesheet("<xsl:variable name=\"t\"><r><a n=\"1\"><b n=\"2\"/></a><c n=\"3\"><a n=\"4\"><b n=\"5\"/></a></c>"
                    "</r></xsl:variable><xsl:template match=\"/\"><xsl:for-each select=\"msxsl:node-set($t)//c |"
                    " msxsl:node-set($t)//b | msxsl:node-set($t)//a\"><xsl:value-of select=\"@n\"/>,</xsl:for-each>"
                    "</xsl:template>",
                    " xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\""),
         "<r/>", "1,2,3,4,5,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile("order.xsl", c.stylesheet);
        WriteFile("order.xml", c.input);
        IXSLTemplatePtr compiled = Compile("order.xsl");
        IXMLDOMDocumentPtr document = Load("order.xml");
        // Twice over one tree: the first transformation must leave it as the second needs it.
        for (int round = 0; round < 2; ++round) {
            IXSLProcessorPtr processor;
            ASSERT_EQ(compiled->createProcessor(&processor), S_OK) << TakeErrorDescription();
            EXPECT_EQ(Run(processor, document), c.expected) << "round " << round;
        }
    }
}

}  // namespace
