// xsl:sort: the service's sort puts the nodes in libxslt's order, byte for byte, for every kind
// of key, and leaves to libxslt the sorts whose later keys depend on when they are computed.
#include "reference_test.h"

#include "xslt/sort.h"

#include <string>

namespace {

using xmlservice::ServiceSorts;

using SortTest = ReferenceTest;

const std::string kItems =
    "<items><i n=\"3\" t=\"b\">one</i><i n=\"NaN\" t=\"a\">two</i><i n=\"-0\" t=\"b\">three</i>"
    "<i n=\"0\" t=\"B\">four</i><i n=\"10\" t=\"a\">five</i><i n=\"3\" t=\"\">six</i><i t=\"b\">seven</i>"
    "<i n=\"2.5\" t=\"&#xE9;\">eight</i><i n=\"3\" t=\"a\">nine</i></items>";

// The xsl:sort elements of a for-each, a piece its result must hold, and whether the service
// sorts them itself rather than leaving them to libxslt.
struct SortCase {
    std::string sorts;
    std::string mustHold;
    bool sortedByService;
};

TEST_F(SortTest, KeysOfEveryKindTieAndFallBackToDocumentOrderAsInLibxslt) {
    WriteFile("in.xml", kItems);
    const SortCase cases[] = {
        // Text, byte by byte; equal keys keep document order.
        {"<xsl:sort select=\"@t\"/>", "six,four,two,five,nine,one,three,seven,eight,", true},
        // Numbers: NaN and missing numbers first, -0 and 0 equal.
        {"<xsl:sort select=\"@n\" data-type=\"number\"/>", "two,seven,three,four,eight,one,six,nine,five,", true},
        {"<xsl:sort select=\"@n\" data-type=\"number\" order=\"descending\"/>", "five,one,six,nine,eight,three,four,", true},
        // Several levels, the later ones only deciding ties of the earlier.
        {"<xsl:sort select=\"@t\" order=\"descending\"/><xsl:sort select=\"@n\" data-type=\"number\"/>"
         "<xsl:sort select=\".\"/>",
         "eight,seven,three,one,two,nine,five,four,six,", true},
        // An unknown data type sorts as text.
        {"<xsl:sort select=\"@n\" data-type=\"qname\"/>", "seven,three,four,five,eight,one,six,nine,two,", true},
        // Data type and order given as templates, and a language: sorted by libxslt itself.
        {"<xsl:sort select=\"@n\" data-type=\"{'number'}\" order=\"{'descending'}\"/>", "five,one,six,nine,", false},
        {"<xsl:sort select=\"@t\" lang=\"en\"/><xsl:sort select=\".\"/>", "nine,", false},
    };
    for (const SortCase& c : cases) {
        WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">" +
                                         c.sorts + "<xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>"));
        const std::uint64_t before = ServiceSorts();
        ExpectLibxsltBytes("sort.xsl", "in.xml", c.mustHold);
        EXPECT_EQ(ServiceSorts() - before, c.sortedByService ? 1u : 0u) << c.sorts;
    }
}

TEST_F(SortTest, LaterKeysThatDependOnWhenTheyAreComputedAreLeftToLibxslt) {
    // libxslt computes a later key only once the earlier ones tie, and then while its list is half
    // sorted: generate-id() numbers the nodes in that order and position() sees it. A first key
    // is computed before anything moves, so it may use them.
    WriteFile("in.xml", kItems);
    const SortCase cases[] = {
        {"<xsl:sort select=\"string(.)\"/><xsl:sort select=\"generate-id()\"/>", "|id1", false},
        {"<xsl:sort select=\"@n\"/><xsl:sort select=\"generate-id()\"/>", "|id10", false},
        {"<xsl:sort select=\"@n\"/><xsl:sort select=\"position()\" data-type=\"number\"/>", "|id1", false},
        {"<xsl:sort select=\"generate-id()\" order=\"descending\"/><xsl:sort select=\"concat(@t, .)\"/>", "|id10", true},
    };
    for (const SortCase& c : cases) {
        WriteFile("later.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">" +
                                          c.sorts + "<xsl:value-of select=\".\"/>,</xsl:for-each>|<xsl:value-of"
                                                    " select=\"generate-id(/)\"/></xsl:template>"));
        const std::uint64_t before = ServiceSorts();
        ExpectLibxsltBytesWithIds("later.xsl", "in.xml", c.mustHold);
        EXPECT_EQ(ServiceSorts() - before, c.sortedByService ? 1u : 0u) << c.sorts;
    }
}

TEST_F(SortTest, ALongListWithManyTiesIsInLibxsltsOrder) {
    // Thousands of nodes over a handful of keys, in apply-templates and for-each alike.
    std::string many = "<items>";
    for (int i = 0; i < 3000; ++i)
        many += "<i n=\"" + std::to_string((i * 7919) % 13) + "\" t=\"" + std::string(1, static_cast<char>('a' + (i * 31) % 5)) +
                "\">" + std::to_string(i) + "</i>";
    WriteFile("many.xml", many + "</items>");
    WriteFile("many.xsl",
              Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:apply-templates select=\"//i\"><xsl:sort"
                                       " select=\"@t\"/><xsl:sort select=\"@n\" data-type=\"number\""
                                       " order=\"descending\"/></xsl:apply-templates>|<xsl:for-each select=\"//i\">"
                                       "<xsl:sort select=\"@n\" data-type=\"number\"/><xsl:value-of select=\".\"/>,"
                                       "</xsl:for-each></xsl:template><xsl:template match=\"i\"><xsl:value-of"
                                       " select=\".\"/>,</xsl:template>"));
    const std::uint64_t before = ServiceSorts();
    ExpectLibxsltBytes("many.xsl", "many.xml", "|0,");
    EXPECT_EQ(ServiceSorts() - before, 2u);
}

}  // namespace
