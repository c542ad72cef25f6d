// msxsl:script: JScript functions called from XPath, their arguments and results, the global
// scope per namespace and transformation, and the sandbox's bounds and refusals.
#include "service_test.h"

#include "engine/budget.h"
#include "engine/library_setup.h"
#include "xslt/scripts.h"

#include <string>
#include <vector>

namespace {

class ScriptTest : public ServiceTest {
protected:
    void TearDown() override {
        xmlservice::SetScriptTimeBoundForTesting(0);
        xmlservice::SetBudgetBaseForTesting(xmlservice::kBudgetBase);
        ServiceTest::TearDown();
    }
};

constexpr char kInput[] =
    "<catalog><book id=\"b1\" lang=\"en\"><title>Alpha</title><price>30</price></book>"
    "<book id=\"b2\"><title>Beta</title><price>40</price></book>"
    "<book id=\"b3\"><title>Gamma</title><price>20</price></book></catalog>";

// A stylesheet with text output, the script namespaces declared, `scripts` at the top and `body`
// after them. The script blocks start on line 3.
std::string ScriptStylesheet(const std::string& scripts, const std::string& body) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"\n"
           " xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" xmlns:user=\"urn:user\" xmlns:vb=\"urn:vb\">\n" +
           scripts + "\n<xsl:output method=\"text\"/>\n" + body + "\n</xsl:stylesheet>\n";
}

std::string JScript(const std::string& code, const std::string& language = "JScript") {
    return "<msxsl:script language=\"" + language + "\" implements-prefix=\"user\"><![CDATA[" + code +
           "]]></msxsl:script>";
}

std::string Root(const std::string& content) { return "<xsl:template match=\"/\">" + content + "</xsl:template>"; }

struct ResultCase {
    const char* what;
    std::string stylesheet;
    std::string expected;
};

TEST_F(ScriptTest, FunctionsRunWithTheirArgumentsAndResults) {
    WriteFile("in.xml", kInput);
    const ResultCase cases[] = {
        {"string helpers",
         ScriptStylesheet(JScript("function up(s) { return s.toUpperCase(); }\n"
                                  "function pad(s, n) { while (s.length < n) s = '0' + s; return s; }\n"
                                  "function enc(s) { return encodeURIComponent(s); }"),
                          Root("<xsl:value-of select=\"user:up('abc')\"/>|<xsl:value-of select=\"user:pad('7', 3)\"/>|"
                               "<xsl:value-of select=\"user:enc('a b&amp;c')\"/>")),
         "ABC|007|a%20b%26c"},
        {"numbers and booleans both ways, null as an empty string",
         ScriptStylesheet(JScript("function half(n) { return n / 2; }\n"
                                  "function kind(a, b) { return typeof a + ',' + typeof b + ',' + b; }\n"
                                  "function yes() { return true; } function nothing() { return null; }"),
                          Root("<xsl:value-of select=\"user:half(7) * 2\"/>|<xsl:value-of select=\"user:kind(1, 2 &gt; 1)\"/>|"
                               "<xsl:value-of select=\"user:yes() and true()\"/>|[<xsl:value-of select=\"user:nothing()\"/>]")),
         "7|number,boolean,true|true|[]"},
        {"a counter kept across calls",
         ScriptStylesheet(JScript("var count = 0; function next() { return ++count; }"),
                          Root("<xsl:for-each select=\"//book\"><xsl:value-of select=\"user:next()\"/>,</xsl:for-each>")),
         "1,2,3,"},
        {"a node-set read through item(0).text and length",
         ScriptStylesheet(JScript("function first(list) { return list.item(0).text + '/' + list.length; }"),
                          Root("<xsl:value-of select=\"user:first(//price)\"/>")),
         "30/3"},
        {"a returned node list used in xsl:for-each",
         ScriptStylesheet(JScript("function cheap(catalog) {\n"
                                  "  return catalog.item(0).selectNodes('book[price &lt; 35]'.replace('&lt;', '<'));\n}"),
                          Root("<xsl:for-each select=\"user:cheap(catalog)\"><xsl:value-of select=\"title\"/>,</xsl:for-each>")),
         "Alpha,Gamma,"},
        {"a function in a sort key",
         ScriptStylesheet(JScript("function negative(n) { return -n.item(0).text; }"),
                          Root("<xsl:for-each select=\"//book\"><xsl:sort select=\"user:negative(price)\" data-type=\"number\"/>"
                               "<xsl:value-of select=\"title\"/>,</xsl:for-each>")),
         "Beta,Alpha,Gamma,"},
        {"a function in a key's use",
         ScriptStylesheet(JScript("function band(p) { return p.item(0).text > 25 ? 'high' : 'low'; }") +
                              "<xsl:key name=\"band\" match=\"book\" use=\"user:band(price)\"/>",
                          Root("<xsl:for-each select=\"key('band', 'high')\"><xsl:value-of select=\"title\"/>,</xsl:for-each>")),
         "Alpha,Beta,"},
        {"the node's shape",
         ScriptStylesheet(JScript("function shape(list) {\n"
                                  "  var book = list.nextNode(), title = book.firstChild, out = [];\n"
                                  "  out.push(book.nodeName, book.nodeType, book.nodeValue, book.getAttribute('id'),\n"
                                  "    book.getAttribute('none'), book.attributes.length, book.attributes.item(1).nodeName,\n"
                                  "    book.attributes.getNamedItem('id').nodeValue, book.childNodes.length,\n"
                                  "    title.nodeName, title.firstChild.nodeType, title.firstChild.nodeValue,\n"
                                  "    book.lastChild.nodeName, title.nextSibling.text, title.previousSibling,\n"
                                  "    title.parentNode.getAttribute('id'), book.parentNode.parentNode.nodeName,\n"
                                  "    book.selectSingleNode('price').text, book.selectSingleNode('nothing'),\n"
                                  "    book.attributes.item(0).xml, title.xml, list.nextNode().getAttribute('id'));\n"
                                  "  list.reset();\n"
                                  "  out.push(list.nextNode().getAttribute('id'), list.item(5));\n"
                                  "  return out.join('|');\n}"),
                          Root("<xsl:value-of select=\"user:shape(//book)\"/>")),
         "book|1||b1||2|lang|b1|2|title|3|Alpha|price|30||b1|#document|30||id=\"b1\"|<title>Alpha</title>|b2|b1|"},
        {"a result tree fragment as a node list, kept in a global across calls",
         ScriptStylesheet(JScript("var kept; function keep(f) { if (!kept) kept = f; return kept.item(0).text; }"),
                          Root("<xsl:for-each select=\"//book\"><xsl:variable name=\"f\"><x><xsl:value-of select=\"title\"/></x>"
                               "</xsl:variable><xsl:value-of select=\"user:keep($f)\"/>,</xsl:for-each>")),
         "Alpha,Alpha,Alpha,"},
        {"node lists that cannot change the source",
         ScriptStylesheet(JScript("function change(list) { var price = list.item(0);\n"
                                  "  price.text = 'changed'; price.firstChild.nodeValue = 'changed';\n"
                                  "  list.item = null; list.length = 0; return list.length + price.text; }"),
                          Root("<xsl:value-of select=\"user:change(//price)\"/>|<xsl:value-of select=\"//price\"/>")),
         "330|30"},
        {"a returned node",
         ScriptStylesheet(JScript("function last(list) { return list.item(list.length - 1); }"),
                          Root("<xsl:value-of select=\"user:last(//title)\"/>")),
         "Gamma"},
        {"characters beyond U+FFFF both ways",
         ScriptStylesheet(JScript("function mirror(s) { return s.length + ':' + s + String.fromCharCode(0xD83D, 0xDE00); }"),
                          Root("<xsl:value-of select=\"user:mirror('&#x1F600;')\"/>")),
         "2:\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"JavaScript in any case, blocks of one namespace sharing one scope",
         ScriptStylesheet(JScript("var base = 40;", "javaSCRIPT") + JScript("function plus(n) { return base + n; }"),
                          Root("<xsl:value-of select=\"user:plus(2)\"/>")),
         "42"},
        {"a VBScript block that nothing calls",
         ScriptStylesheet("<msxsl:script language=\"VBScript\" implements-prefix=\"vb\">Function F()\nEnd Function</msxsl:script>",
                          Root("works")),
         "works"},
        {"no host objects to see",
         ScriptStylesheet(JScript("function host() { return [typeof ActiveXObject, typeof WScript, typeof Duktape, "
                                  "typeof require, typeof print].join(); }"),
                          Root("<xsl:value-of select=\"user:host()\"/>")),
         "undefined,undefined,undefined,undefined,undefined"},
    };
    for (const ResultCase& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("script.xsl", c.stylesheet);
        EXPECT_EQ(Transform("script.xsl", "in.xml"), c.expected);
    }
}

TEST_F(ScriptTest, EachTransformationStartsWithAFreshGlobalScope) {
    WriteFile("in.xml", kInput);
    WriteFile("script.xsl", ScriptStylesheet(JScript("var count = 0; function next() { return ++count; }"),
                                             Root("<xsl:value-of select=\"user:next()\"/>")));
    IXSLTemplatePtr compiled = Compile("script.xsl");
    IXSLProcessorPtr processor;
    ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
    IXMLDOMDocumentPtr input = Load("in.xml");
    EXPECT_EQ(Run(processor, input), "1");
    EXPECT_EQ(Run(processor, input), "1");
}

TEST_F(ScriptTest, AScriptThatDoesNotParseFailsTheCompileWithItsLineAndTheEnginesMessage) {
    WriteFile("script.xsl", ScriptStylesheet(JScript("function ok() { return 1; }\nfunction broken( { return 'x; }"),
                                             Root("x")));
    IXMLDOMDocumentPtr stylesheet = Load("script.xsl");
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    EXPECT_EQ(compiled->putref_stylesheet(stylesheet), xmlservice::E_COMPILE_FAILED);
    const std::string description = TakeErrorDescription();
    EXPECT_NE(description.find("The msxsl:script block (script.xsl, line 3) does not compile: SyntaxError:"),
              std::string::npos)
        << description;
    // The engine counts lines from the file's first.
    EXPECT_NE(description.find("(line 4"), std::string::npos) << description;
}

TEST_F(ScriptTest, BlocksWithoutANamespaceFailTheCompile) {
    WriteFile("script.xsl", ScriptStylesheet("<msxsl:script language=\"JScript\">function f() {}</msxsl:script>"
                                             "<msxsl:script implements-prefix=\"nowhere\">function g() {}</msxsl:script>",
                                             Root("x")));
    IXMLDOMDocumentPtr stylesheet = Load("script.xsl");
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    EXPECT_EQ(compiled->putref_stylesheet(stylesheet), xmlservice::E_COMPILE_FAILED);
    EXPECT_EQ(TakeErrorDescription(),
              "The msxsl:script block (script.xsl, line 3) has no implements-prefix attribute; The msxsl:script block "
              "(script.xsl, line 3) names the prefix \"nowhere\", which is not declared");
}

struct FailureCase {
    const char* what;
    std::string stylesheet;
    std::string reason;
};

TEST_F(ScriptTest, FailuresEndTheTransformationWithAReasonNamingTheFunction) {
    WriteFile("in.xml", kInput);
    xmlservice::SetScriptTimeBoundForTesting(0.5);
    const std::string place = "element value-of: ";
    const FailureCase cases[] = {
        {"an exception thrown by the script",
         ScriptStylesheet(JScript("function boom() {\n  throw new Error('boom');\n}"),
                          Root("<xsl:value-of select=\"user:boom()\"/>")),
         place + "The script function user:boom failed: Error: boom (line 4)"},
        {"ActiveXObject",
         ScriptStylesheet(JScript("function run() { return new ActiveXObject('WScript.Shell'); }"),
                          Root("<xsl:value-of select=\"user:run()\"/>")),
         place + "The script function user:run failed: ReferenceError: identifier 'ActiveXObject' undefined (line 3): "
                 "scripts run without host objects (no ActiveXObject, WScript or GetObject)"},
        {"an endless loop",
         ScriptStylesheet(JScript("function spin() { for (;;) {} }"), Root("<xsl:value-of select=\"user:spin()\"/>")),
         place + "The script function user:spin was stopped: the scripts of a transformation may take 0.5 seconds of "
                 "processor time at most"},
        {"endless recursion",
         ScriptStylesheet(JScript("function deep(n) { return 1 + deep(n + 1); }"),
                          Root("<xsl:value-of select=\"user:deep(0)\"/>")),
         place + "The script function user:deep failed: RangeError: callstack limit (line 3)"},
        {"a VBScript function called",
         ScriptStylesheet("<msxsl:script language=\"VBScript\" implements-prefix=\"vb\">Function F()\nEnd Function</msxsl:script>",
                          Root("<xsl:value-of select=\"vb:F()\"/>")),
         place + "The script function vb:F cannot run: its msxsl:script block is written in VBScript, which does not "
                 "run here (only JScript and JavaScript do)"},
        {"a function no block defines",
         ScriptStylesheet(JScript("var notAFunction = 1;"), Root("<xsl:value-of select=\"user:notAFunction()\"/>")),
         place + "The script function user:notAFunction is not defined: no msxsl:script block for \"urn:user\" defines "
                 "a function of that name"},
        {"a block whose top level throws",
         ScriptStylesheet(JScript("function f() { return 1; }\nundefinedName.x = 1;"),
                          Root("<xsl:value-of select=\"user:f()\"/>")),
         place + "The script function user:f cannot run: the msxsl:script block (script.xsl, line 3) failed: "
                 "ReferenceError: identifier 'undefinedName' undefined (line 4)"},
        {"an exception from inside a sort",
         ScriptStylesheet(JScript("function key(n) { if (n.item(0).text > 35) throw new TypeError('too dear'); return 1; }"),
                          "<xsl:template match=\"/\">\n<xsl:for-each select=\"//book\"><xsl:sort select=\"user:key(price)\"/>"
                          "<xsl:value-of select=\"title\"/></xsl:for-each></xsl:template>"),
         "element sort: The script function user:key failed: TypeError: too dear (line 3)"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("script.xsl", c.stylesheet);
        const FailedTransform failed = TransformFailing("script.xsl", "in.xml");
        EXPECT_EQ(failed.code, xmlservice::E_TRANSFORM_FAILED);
        // The reason follows the place of the instruction that called.
        EXPECT_TRUE(failed.description.starts_with("runtime error: file script.xsl line ")) << failed.description;
        EXPECT_TRUE(failed.description.ends_with(c.reason)) << failed.description;
    }
}

TEST_F(ScriptTest, AScriptThatAllocatesWithoutEndMeetsTheMemoryBudget) {
    WriteFile("in.xml", kInput);
    WriteFile("script.xsl", ScriptStylesheet(JScript("function hoard() { var all = [];\n"
                                                     "  for (var i = 0; ; ++i) all.push('item number ' + i); }"),
                                             Root("<xsl:value-of select=\"user:hoard()\"/>")));
    xmlservice::SetBudgetBaseForTesting(64 << 20);
    const FailedTransform failed = TransformFailing("script.xsl", "in.xml");
    xmlservice::SetBudgetBaseForTesting(xmlservice::kBudgetBase);
    EXPECT_EQ(failed.code, E_OUTOFMEMORY);
    EXPECT_NE(failed.description.find("The memory budget of 64.0 MiB for the XML work"), std::string::npos)
        << failed.description;
}

}  // namespace
