// xsl:value-of of one step read without XPath: exactly the bytes of libxslt's own instruction,
// for every kind of node and content, and only for the selects it knows.
#include "reference_test.h"

#include "engine/call_record.h"
#include "engine/handles.h"
#include "xslt/value_of.h"

#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

using ValueOfTest = ReferenceTest;

// Entity references and CDATA sections stay in the tree as they were written (no parser
// options), so that every kind of content meets the instructions.
const std::string kSource =
    "<!DOCTYPE r [<!ENTITY e \"ent\">]><r><i x:id=\"ns\" id=\"1\" xmlns:x=\"urn:x\"><k>plain</k><k>second</k></i>"
    "<i id=\"2\"><k/><k>after</k></i><i id=\"3\"><k>mixed <b>bold</b> tail</k></i><i id=\"4\"><k><![CDATA[<c> & d]]>"
    "</k></i><i id=\"5\"><k xmlns=\"urn:y\">default</k><x:k xmlns:x=\"urn:x\">prefixed</x:k><k>five</k></i>"
    "<i id=\"6\" a=\"x&e;y\"><k>a<!--c-->b</k><k2>&e;</k2></i><i id=\"7\" empty=\"\"><div>op</div><k>&lt;e&gt; &amp;"
    "</k></i><i>none</i></r>";

struct Result {
    std::string bytes;
    std::size_t switched = 0;
};

// What libxslt makes of the stylesheet `body` applied to kSource, with the simple value-ofs
// switched to the service's function first or not.
Result Apply(const std::string& body, bool switchValueOfs) {
    const std::string stylesheet = Stylesheet(body);
    xmlservice::DocumentHandle tree(
        xmlReadMemory(stylesheet.data(), static_cast<int>(stylesheet.size()), "value-of.xsl", nullptr, 0));
    const xmlservice::StylesheetHandle compiled(tree ? xsltParseStylesheetDoc(tree.get()) : nullptr);
    if (!compiled) return {"<not compiled>"};
    (void)tree.release();  // the stylesheet owns its tree now
    Result result;
    if (switchValueOfs) result.switched = xmlservice::ReadSimpleValueOfsDirectly(compiled.get());
    const xmlservice::DocumentHandle source(
        xmlReadMemory(kSource.data(), static_cast<int>(kSource.size()), "in.xml", nullptr, 0));
    const xmlservice::DocumentHandle made(xsltApplyStylesheet(compiled.get(), source.get(), nullptr));
    xmlChar* text = nullptr;
    int length = 0;
    if (!made || xsltSaveResultToString(&text, &length, made.get(), compiled.get()) != 0) return {"<failed>"};
    const std::unique_ptr<xmlChar, xmlservice::LibraryMemoryDeleter> owned(text);
    result.bytes.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    return result;
}

TEST_F(ValueOfTest, SimpleStepsWriteLibxsltsBytesFromEveryKindOfNode) {
    const struct {
        const char* what;
        std::string body;
        std::size_t switched;
        std::string expected;
    } cases[] = {
        // The first child of the name in no namespace, its whole text however it is held; an
        // attribute in no namespace; the context element's own text; nothing when there is none.
        {"fields of elements",
         kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">[<xsl:value-of select=\"@id\"/>|"
                       "<xsl:value-of select=\"k\"/>|<xsl:value-of select=\"k2\"/>|<xsl:value-of select=\"div\"/>|"
                       "<xsl:value-of select=\"@a\"/>|<xsl:value-of select=\"@empty\"/>|<xsl:value-of"
                       " select=\"missing\"/>|<xsl:value-of select=\".\"/>]</xsl:for-each></xsl:template>",
         8,
         "[1|plain||||||plainsecond][2|||||||after][3|mixed bold tail||||||mixed bold tail]"
         "[4|<c> & d||||||<c> & d][5|five||||||defaultprefixedfive][6|ab|ent||xenty|||abent]"
         "[7|<e> &||op||||op<e> &][|||||||none]"},
        // Attributes, texts, a comment and the document as the context node.
        {"other context nodes",
         kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i/@*\">(<xsl:value-of select=\".\"/>:"
                       "<xsl:value-of select=\"k\"/>:<xsl:value-of select=\"@id\"/>)</xsl:for-each>|<xsl:for-each"
                       " select=\"//k/node()\">{<xsl:value-of select=\".\"/>}</xsl:for-each>|<xsl:value-of"
                       " select=\"r\"/></xsl:template>",
         5,
         "(ns::)(1::)(2::)(3::)(4::)(5::)(6::)(xenty::)(7::)(::)|{plain}{second}{after}{mixed }{bold}{ tail}"
         "{<c> & d}{five}{a}{c}{b}{<e> &}|plainsecondaftermixed bold tail<c> & ddefaultprefixedfiveabentop<e> &none"},
        {"escaped or not",
         "<xsl:output method=\"html\"/><xsl:template match=\"/\"><xsl:for-each select=\"//i[@id = 7]\"><p>"
         "<xsl:value-of select=\"k\"/></p><p><xsl:value-of select=\"k\" disable-output-escaping=\"yes\"/></p>"
         "</xsl:for-each></xsl:template>",
         2, "<p>&lt;e&gt; &amp;</p><p><e> &</p>\n"},
        // Everything else stays with libxslt.
        {"other selects",
         kTextOutput + "<xsl:variable name=\"v\" select=\"'v'\"/><xsl:template match=\"/\"><xsl:for-each"
                       " select=\"//i[1]\"><xsl:value-of select=\" k\"/>,<xsl:value-of select=\"k \"/>,<xsl:value-of"
                       " select=\"child::k\"/>,<xsl:value-of select=\"@*\"/>,<xsl:value-of select=\"@ id\"/>,"
                       "<xsl:value-of select=\"@x:id\" xmlns:x=\"urn:x\"/>,<xsl:value-of select=\"k[2]\"/>,"
                       "<xsl:value-of select=\"./k\"/>,<xsl:value-of select=\"..\"/>,<xsl:value-of select=\"$v\"/>,"
                       "<xsl:value-of select=\"'lit'\"/>,<xsl:value-of select=\"count(k)\"/>,<xsl:value-of"
                       " select=\"..//b\"/>,<xsl:value-of select=\"self::node()\"/></xsl:for-each></xsl:template>",
         0,
         "plain,plain,plain,ns,1,ns,second,plain,plainsecondaftermixed bold tail<c> & ddefaultprefixedfiveabentop"
         "<e> &none,v,lit,2,bold,plainsecond"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Result plain = Apply(c.body, false);
        const Result switched = Apply(c.body, true);
        EXPECT_EQ(switched.switched, c.switched);
        EXPECT_EQ(plain.bytes, c.expected);
        EXPECT_EQ(switched.bytes, c.expected);
    }
}

// Imported modules are switched as the stylesheet itself, and the service switches every
// stylesheet it compiles.
TEST_F(ValueOfTest, ImportedModulesAreSwitchedAndTheServiceWritesLibxsltsBytes) {
    WriteFile("in.xml", "<r><i id=\"1\"><k>one</k></i><i id=\"2\"><k>two<b/></k></i></r>");
    WriteFile("module.xsl", Stylesheet("<xsl:template match=\"i\"><xsl:value-of select=\"@id\"/>=<xsl:value-of"
                                       " select=\"k\"/>;</xsl:template>"));
    const std::string main = Stylesheet("<xsl:import href=\"module.xsl\"/>" + kTextOutput +
                                        "<xsl:template match=\"/\"><xsl:value-of select=\"r\"/>|<xsl:apply-templates"
                                        " select=\"r/i\"/></xsl:template>");
    WriteFile("main.xsl", main);
    {
        // The service's loader reads the module, inside a call whose folder holds it.
        const xmlservice::CallRecord call({std::filesystem::canonical(folder_).string()});
        xmlservice::DocumentHandle tree(
            xmlReadMemory(main.data(), static_cast<int>(main.size()), Absolute("main.xsl").c_str(), nullptr, 0));
        ASSERT_TRUE(tree);
        const xmlservice::StylesheetHandle compiled(xsltParseStylesheetDoc(tree.get()));
        ASSERT_TRUE(compiled);
        (void)tree.release();
        EXPECT_EQ(xmlservice::ReadSimpleValueOfsDirectly(compiled.get()), 3u);
    }
    ExpectLibxsltBytes("main.xsl", "in.xml", "onetwo|1=one;2=two;");
}

}  // namespace
