// generate-id(): ids numbered in the order they are first asked for, whichever document a node
// belongs to, as libxslt numbers them where it numbers them.
#include "reference_test.h"

#include "xslt/ids.h"

namespace {

using xmlservice::GeneratedIdsGiven;

using IdsTest = ReferenceTest;

TEST_F(IdsTest, GeneratedIdsAreLibxsltsForEveryKindOfNodeAndDocument) {
    // Ids are numbered in the order they are first asked for, across the source document, other
    // documents and result tree fragments, so the nodes are asked for in an interleaved order.
    WriteFile("in.xml", "<?xml-stylesheet href=\"x\"?><doc xmlns:p=\"urn:p\" xmlns=\"urn:d\"><!--c--><a id=\"1\">text"
                        "</a><?pi data?><a id=\"2\"/></doc>");
    WriteFile("more.xml", "<more><m/></more>");
    const std::string body =
        kTextOutput + "<xsl:variable name=\"made\"><r><s/></r></xsl:variable><xsl:template match=\"/\">"
                "<xsl:variable name=\"made-nodes\" select=\"exsl:node-set($made)//*\"/>"
                "<xsl:variable name=\"more\" select=\"document('more.xml')//*\"/>"
                "<xsl:for-each select=\"//node() | //@* | //namespace::*\"><xsl:variable name=\"i\" select=\"1 + position()"
                " mod 2\"/><xsl:value-of select=\"generate-id()\"/>/<xsl:value-of select=\"generate-id($more[$i])\"/>/"
                "<xsl:value-of select=\"generate-id($made-nodes[$i])\"/>,</xsl:for-each>|<xsl:value-of"
                " select=\"generate-id(/)\"/>|<xsl:value-of select=\"generate-id(//d:a[2] | //d:a[1])\"/>|"
                "<xsl:value-of select=\"generate-id(/..)\"/>|<xsl:value-of select=\"generate-id(//d:a[1])\"/>"
                "</xsl:template>";
    WriteFile("ids.xsl", Stylesheet(body, " xmlns:exsl=\"http://exslt.org/common\" xmlns:d=\"urn:d\""));
    const std::uint64_t idsBefore = GeneratedIdsGiven();
    ExpectLibxsltBytesWithIds("ids.xsl", "in.xml", "id1/id2/id3,id4/id5/id6,");
    EXPECT_GT(GeneratedIdsGiven() - idsBefore, 10u);
}

TEST_F(IdsTest, NamespaceNodesGivenAsArgumentsGetIdsOfTheirElements) {
    // The namespace node of one declaration on each element in its scope, asked for through an
    // argument, which frees its node-set before the id is made, and as the context node.
    WriteFile("in.xml", "<doc xmlns:my=\"urn:my\"><a/><b xmlns:my=\"urn:my\" xmlns=\"urn:d\"/></doc>");
    WriteFile("namespaces.xsl",
              Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:value-of select=\"generate-id(/doc/namespace::my)\"/>,"
                         "<xsl:value-of select=\"generate-id(/doc/*[1]/namespace::my)\"/>,<xsl:value-of"
                         " select=\"generate-id(/doc/*[2]/namespace::*[name() = ''])\"/>,<xsl:value-of"
                         " select=\"generate-id(/doc/namespace::my)\"/>,<xsl:value-of select=\"generate-id(/doc)\"/>,"
                         "<xsl:for-each select=\"/doc/*[1]/namespace::my\"><xsl:value-of select=\"generate-id()\"/>"
                         "</xsl:for-each></xsl:template>"));
    ExpectLibxsltBytesWithIds("namespaces.xsl", "in.xml", "id1ns6D79,id2ns6D79,id3ns,id1ns6D79,id1,id2ns6D79");
}

TEST_F(IdsTest, NodesOfAFragmentMadeAgainGetNewIds) {
    // A variable's fragment is made anew on every iteration, and libxslt reuses the memory of the
    // one before: ids kept by node address would repeat.
    WriteFile("in.xml", "<doc><a/><a/><a/></doc>");
    WriteFile("again.xsl",
              Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//a\"><xsl:variable"
                                       " name=\"made\"><r><s/>text</r></xsl:variable><xsl:for-each"
                                       " select=\"exsl:node-set($made)//node()\"><xsl:value-of select=\"generate-id()\"/>,"
                                       "</xsl:for-each>;</xsl:for-each></xsl:template>",
                         " xmlns:exsl=\"http://exslt.org/common\""));
    ExpectLibxsltBytesWithIds("again.xsl", "in.xml", "id1,id2,id3,;id4,id5,id6,;id7,id8,id9,;");
}

}  // namespace
