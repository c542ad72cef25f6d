// sum($variable/name) through the service's own function: rewritten only where it means that
// path, and adding up the same numbers in the same order as XPath, with libxslt's bytes.
#include "reference_test.h"

#include "xslt/expression_rewrite.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

namespace {

using xmlservice::kChildSumFunction;
using xmlservice::RewriteChildSums;

using SumsTest = ReferenceTest;

std::string Sum(const std::string& arguments) { return std::string(kChildSumFunction).append(arguments); }

TEST(SumRewrite, OnlyASumOfOneVariablesChildrenOfOneNameIsRewritten) {
    const std::pair<std::string, std::string> cases[] = {
        {"sum($all/price)", Sum("($all, 'price')")},
        {"format-number(sum( $g / price ), '0.00')", "format-number(" + Sum("( $g , 'price' )") + ", '0.00')"},
        {"sum($a/b) + sum($c/d-e.f)", Sum("($a, 'b')") + " + " + Sum("($c, 'd-e.f')")},
        {"sum($p:v/price)", Sum("($p:v, 'price')")},
        // Any other argument, and a sum that is no call of the core function, stay.
        {"sum($all/x:price)", "sum($all/x:price)"},
        {"sum($all/price/x)", "sum($all/price/x)"},
        {"sum($all//price)", "sum($all//price)"},
        {"sum($all/@price)", "sum($all/@price)"},
        {"sum($all/*)", "sum($all/*)"},
        {"sum($all/price[1])", "sum($all/price[1])"},
        {"sum(book/price)", "sum(book/price)"},
        {"sum($all)", "sum($all)"},
        {"my:sum($all/price)", "my:sum($all/price)"},
        {"child::sum($all/price)", "child::sum($all/price)"},
        {"'sum($all/price)'", "'sum($all/price)'"},
        // Text that is no XPath stays as written.
        {"sum($all/price", "sum($all/price"},
        {"sum($all/price))", "sum($all/price))"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(std::string(RewriteChildSums(text)), expected) << text;
}

TEST(SumRewrite, TheStylesheetsExpressionsAndAttributeValueTemplatesAreRewrittenButNotItsPatterns) {
    const std::string text =
        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
        "<xsl:template match=\"p[sum($v/q) = 1]\"><xsl:value-of select=\"sum($v/q)\"/>"
        "<out total=\"{sum($v/q)}\"/></xsl:template></xsl:stylesheet>";
    xmlDoc* document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "sums.xsl", nullptr, 0);
    ASSERT_NE(document, nullptr);
    xmlservice::RewriteExpressions(document);
    xmlNode* templ = xmlDocGetRootElement(document)->children;
    xmlNode* valueOf = templ->children;
    xmlNode* out = valueOf->next;
    const auto attribute = [](xmlNode* node, const char* name) {
        xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
        std::string copy = value != nullptr ? reinterpret_cast<const char*>(value) : "<none>";
        xmlFree(value);
        return copy;
    };
    EXPECT_EQ(attribute(templ, "match"), "p[sum($v/q) = 1]");
    EXPECT_EQ(attribute(valueOf, "select"), Sum("($v, 'q')"));
    EXPECT_EQ(attribute(out, "total"), std::string("{").append(Sum("($v, 'q')")).append("}"));
    xmlFreeDoc(document);
}

TEST_F(SumsTest, SumsAreLibxsltsNumbersAddedInDocumentOrder) {
    // The outer n's own p are collected before the inner n's p, but document order puts the
    // inner one second: 1e16 + 1 rounds back to 1e16, so only that order gives 0 (1 otherwise).
    // Texts held in several nodes, numbers that are no numbers, children in a namespace, and
    // nodes without children meet the function too.
    WriteFile("in.xml",
              "<r><n><p>1e16</p><n><p>1</p></n><p>1</p><p>-1e16</p></n>"
              "<m a=\"7\"><p>2<!--c-->5</p><p>&#x33;</p><x:p xmlns:x=\"urn:x\">100</x:p><p xmlns=\"urn:y\">100</p>"
              "<p> 4 </p></m><bad><p>four</p></bad></r>");
    const std::string body =
        kTextOutput +
        "<xsl:variable name=\"n\" select=\"//n\"/><xsl:variable name=\"m\" select=\"//m\"/>"
        "<xsl:variable name=\"all\" select=\"/r/*\"/><xsl:variable name=\"none\" select=\"//missing\"/>"
        "<xsl:variable name=\"attributes\" select=\"//@a | //p/text()\"/><xsl:template match=\"/\">"
        "<xsl:value-of select=\"sum($n/p)\"/>|<xsl:value-of select=\"sum($m/p)\"/>|<xsl:value-of"
        " select=\"sum($all/p)\"/>|<xsl:value-of select=\"sum($none/p)\"/>|<xsl:value-of"
        " select=\"sum($attributes/p)\"/>|<xsl:value-of select=\"format-number(sum($m/p), '0.00')\"/>"
        "<xsl:for-each select=\"$m\">|<xsl:value-of select=\"sum($m/p) + sum($n/p)\"/></xsl:for-each>"
        "</xsl:template>";
    WriteFile("sums.xsl", Stylesheet(body));
    ExpectLibxsltBytes("sums.xsl", "in.xml", "0|32|NaN|0|0|32.00|32");
}

TEST_F(SumsTest, ASumOverWhatIsNoNodeSetFailsAsTheStepWould) {
    WriteFile("in.xml", "<r><p>1</p></r>");
    for (const std::string variable : {"<xsl:variable name=\"v\" select=\"'text'\"/>",
                                       "<xsl:variable name=\"v\"><p>1</p></xsl:variable>"}) {
        WriteFile("wrong.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\">" + variable +
                                          "<xsl:value-of select=\"sum($v/p)\"/></xsl:template>"));
        const FailedTransform failed = TransformFailing("wrong.xsl", "in.xml");
        EXPECT_NE(failed.description.find("must evaluate to a node-set"), std::string::npos) << failed.description;
        EXPECT_EQ(failed.description.find(kChildSumFunction), std::string::npos) << failed.description;
        EXPECT_EQ(LibxsltBytes("wrong.xsl", "in.xml"), "<libxslt failed>") << variable;
    }
}

}  // namespace
