// xsl:sort: text in linguistic order (case last, upper case first unless asked otherwise,
// accents before case, hyphens and apostrophes only between texts whose letters tie, the
// language's own rules), numbers and ties as libxslt orders them.
#include "reference_test.h"

#include "xslt/sort.h"

#include <string>
#include <vector>

namespace {

using xmlservice::ServiceSorts;

using SortTest = ReferenceTest;

// Texts to sort, one per element, and the order they must come out in.
struct TextOrderCase {
    std::string sortAttributes;
    std::vector<std::string> words;
    std::string expected;
};

TEST_F(SortTest, TextSortsInLinguisticOrder) {
    const TextOrderCase cases[] = {
        // Case decides last, upper case first when case-order is absent or upper-first.
        {"", {"b", "A", "ab", "a", "B", "Ab"}, "A,a,Ab,ab,B,b,"},
        {" case-order=\"upper-first\"", {"b", "a", "B", "A"}, "A,a,B,b,"},
        {" case-order=\"lower-first\"", {"b", "A", "ab", "a", "B", "Ab"}, "a,A,ab,Ab,b,B,"},
        // Accents decide before case, the first accented letter from the left.
        {"", {"\xC3\xA4" "ba", "ab\xC3\xA4", "aba", "Aba"}, "Aba,aba,ab\xC3\xA4,\xC3\xA4" "ba,"},
        // The platform's own example, but for its ligatures.
        {" lang=\"en\"",
         {"lye", "Czech", "L\xC3\x9C" "E", "char", "LYE", "Char", "l\xC3\xBC" "e", "\xC3\xA4" "ba", "ab\xC3\xA4"},
         "ab\xC3\xA4,\xC3\xA4" "ba,Char,char,Czech,L\xC3\x9C" "E,l\xC3\xBC" "e,LYE,lye,"},
        // Hyphens and apostrophes count only where the letters tie.
        {"", {"coop", "cop", "co-op", "col", "cook"}, "col,cook,co-op,coop,cop,"},
        {"", {"dont", "donut", "don't", "do", "don\xE2\x80\x99t"}, "do,don't,don\xE2\x80\x99t,dont,donut,"},
        // The language's rules: Swedish puts \xC3\xA4 after z, English beside a.
        {" lang=\"sv\"", {"zebra", "\xC3\xA4rlig", "apa"}, "apa,zebra,\xC3\xA4rlig,"},
        {" lang=\"en\"", {"zebra", "\xC3\xA4rlig", "apa"}, "apa,\xC3\xA4rlig,zebra,"},
        {"", {"zebra", "\xC3\xA4rlig", "apa"}, "apa,\xC3\xA4rlig,zebra,"},
        {" lang=\"{'sv'}\" case-order=\"{'lower-first'}\"", {"Zebra", "zebra", "\xC3\xA4rlig"}, "zebra,Zebra,\xC3\xA4rlig,"},
        // A language the collation does not know sorts like the root collation.
        {" lang=\"qq-unknown\"", {"b", "B", "a"}, "a,B,b,"},
        // Descending reverses the whole order.
        {" order=\"descending\"", {"a", "B", "b", "A"}, "b,B,a,A,"},
        // A brace in the select is no template.
        {" select=\"concat('{', .)\" order=\"{'descending'}\"", {"a", "c", "b"}, "c,b,a,"},
        // Digits and signs as text; an empty text comes first.
        {" data-type=\"text\"", {"3", "10", "", "-0", "0", "2.5"}, ",-0,0,10,2.5,3,"},
    };
    for (const TextOrderCase& c : cases) {
        std::string input = "<items>";
        for (const std::string& word : c.words) input += "<i>" + word + "</i>";
        WriteFile("in.xml", input + "</items>");
        WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\"><xsl:sort" +
                                         c.sortAttributes + "/><xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>"));
        const std::uint64_t before = ServiceSorts();
        EXPECT_EQ(Transform("sort.xsl", "in.xml"), c.expected) << c.sortAttributes;
        EXPECT_EQ(ServiceSorts() - before, 1u) << c.sortAttributes;
    }
}

// A bare name as the select is read from the children without XPath; it must sort exactly as
// the same step spelt out for XPath: the first child of that name in no namespace, its whole
// text, and nothing from a node that has no children to read.
TEST_F(SortTest, ASelectOfOneNameSortsAsTheSameStepThroughXPath) {
    WriteFile("in.xml",
              "<items><i n=\"1\"><k>b</k><k-1>z</k-1></i><i n=\"2\"><k xmlns=\"urn:x\">a</k><k>d</k></i>"
              "<i n=\"3\"/><i n=\"4\"><k>c<b>a</b></k><k>a</k></i><i n=\"5\">text<k>ca</k></i></items>");
    const struct {
        std::string nodes;
        std::string name;
        std::string expected;
    } cases[] = {
        {"//i", "k", "3,1,4,5,2,"},
        {"//i", "k-1", "2,3,4,5,1,"},
        {"//i", "missing", "1,2,3,4,5,"},
        // Attributes and texts have no children: every value is empty, the order stays.
        {"//i/@n", "k", "1,2,3,4,5,"},
        {"/", "items", "|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nodes + " by " + c.name);
        std::string results[2];
        for (const std::string& select : {c.name, "child::" + c.name}) {
            WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"" + c.nodes +
                                             "\"><xsl:sort select=\"" + select + "\"/><xsl:value-of"
                                             " select=\"ancestor-or-self::i/@n\"/><xsl:if test=\"not(../..)\">|"
                                             "</xsl:if><xsl:if test=\"../..\">,</xsl:if></xsl:for-each>"
                                             "</xsl:template>"));
            results[select == c.name ? 0 : 1] = Transform("sort.xsl", "in.xml");
        }
        EXPECT_EQ(results[0], c.expected);
        EXPECT_EQ(results[1], c.expected);
    }
}

// The first level's keys compare by their leading bytes first: keys that share many of them,
// and equal keys, must still come out in full linguistic order, and ties in original order.
TEST_F(SortTest, KeysWithLongCommonBeginningsSortInFull) {
    WriteFile("in.xml", "<items><i>Abcdefghijk b</i><i>abcdefghijk a</i><i>Abcdefghijk a</i><i>abcdefghij</i>"
                        "<i>abcdefghijk a</i><i>ab</i></items>");
    const struct {
        std::string attributes;
        std::string expected;
    } cases[] = {
        {"", "ab,abcdefghij,Abcdefghijk a,abcdefghijk a,abcdefghijk a,Abcdefghijk b,"},
        {" order=\"descending\"", "Abcdefghijk b,abcdefghijk a,abcdefghijk a,Abcdefghijk a,abcdefghij,ab,"},
        {" case-order=\"lower-first\"", "ab,abcdefghij,abcdefghijk a,abcdefghijk a,Abcdefghijk a,Abcdefghijk b,"},
    };
    for (const auto& c : cases) {
        WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\"><xsl:sort" +
                                         c.attributes + "/><xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>"));
        EXPECT_EQ(Transform("sort.xsl", "in.xml"), c.expected) << c.attributes;
    }
}

TEST_F(SortTest, EqualKeysKeepTheirOriginalOrder) {
    // The same text, composed and decomposed accents alike, ascending and descending, and
    // later levels deciding only ties; position() in a later level is the original position.
    WriteFile("in.xml",
              "<items><i t=\"x\" n=\"2\">1</i><i t=\"\xC3\xA9\" n=\"1\">2</i><i t=\"x\" n=\"1\">3</i>"
              "<i t=\"e\xCC\x81\" n=\"1\">4</i><i t=\"x\" n=\"2\">5</i></items>");
    const std::pair<std::string, std::string> cases[] = {
        {"<xsl:sort select=\"@t\"/>", "2,4,1,3,5,"},
        {"<xsl:sort select=\"@t\" order=\"descending\"/>", "1,3,5,2,4,"},
        {"<xsl:sort select=\"@t\"/><xsl:sort select=\"@n\" data-type=\"number\"/>", "2,4,3,1,5,"},
        {"<xsl:sort select=\"@t\"/><xsl:sort select=\"position()\" data-type=\"number\" order=\"descending\"/>",
         "4,2,5,3,1,"},
    };
    for (const auto& [sorts, expected] : cases) {
        WriteFile("ties.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">" + sorts +
                                         "<xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>"));
        EXPECT_EQ(Transform("ties.xsl", "in.xml"), expected) << sorts;
    }
}

TEST_F(SortTest, NumbersSortAsInLibxslt) {
    WriteFile("in.xml",
              "<items><i n=\"3\">one</i><i n=\"NaN\">two</i><i n=\"-0\">three</i><i n=\"0\">four</i>"
              "<i n=\"10\">five</i><i n=\"3\">six</i><i>seven</i><i n=\"2.5\">eight</i><i n=\"3\">nine</i></items>");
    const std::pair<std::string, std::string> cases[] = {
        // NaN and missing numbers first, -0 and 0 equal, ties in document order.
        {"<xsl:sort select=\"@n\" data-type=\"number\"/>", "two,seven,three,four,eight,one,six,nine,five,"},
        {"<xsl:sort select=\"@n\" data-type=\"number\" order=\"descending\"/>", "five,one,six,nine,eight,three,four,"},
        // Data type and order given as templates.
        {"<xsl:sort select=\"@n\" data-type=\"{'number'}\" order=\"{'descending'}\"/>", "five,one,six,nine,"},
    };
    for (const auto& [sorts, mustHold] : cases) {
        WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">" + sorts +
                                         "<xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>"));
        const std::uint64_t before = ServiceSorts();
        ExpectLibxsltBytes("sort.xsl", "in.xml", mustHold);
        EXPECT_EQ(ServiceSorts() - before, 1u) << sorts;
    }
}

TEST_F(SortTest, PrefixesAndVariablesInTheSelectResolveAtTheSort) {
    WriteFile("in.xml", "<items xmlns:p=\"urn:p\"><i p:k=\"b\">1</i><i p:k=\"a\">2</i><i p:k=\"c\">3</i></items>");
    WriteFile("ns.xsl",
              Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:variable name=\"suffix\" select=\"'z'\"/>"
                                       "<xsl:for-each select=\"//i\"><xsl:sort select=\"concat(@q:k, $suffix)\""
                                       " order=\"descending\"/><xsl:value-of select=\".\"/>,</xsl:for-each></xsl:template>",
                         " xmlns:q=\"urn:p\""));
    EXPECT_EQ(Transform("ns.xsl", "in.xml"), "3,1,2,");
}

TEST_F(SortTest, AKeyThatFailsStopsTheTransformation) {
    WriteFile("in.xml", "<items><i>1</i><i>2</i></items>");
    WriteFile("fails.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\"><xsl:sort"
                                                    " select=\"$undefined\"/><xsl:value-of select=\".\"/></xsl:for-each>"
                                                    "</xsl:template>"));
    const FailedTransform failed = TransformFailing("fails.xsl", "in.xml");
    EXPECT_FALSE(SUCCEEDED(failed.code));
    EXPECT_EQ(failed.output, "");
}

TEST_F(SortTest, ALongListWithManyTiesIsInLibxsltsOrder) {
    // Thousands of nodes over a handful of keys, in apply-templates and for-each alike; single
    // small letters sort alike in both orders.
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

// A text met again at the same level shares the key made for it first: the order is the one of
// a key made for every node, while the collation is asked once per distinct text; a level whose
// texts mostly differ makes every key.
TEST_F(SortTest, RepeatedTextsShareTheirKeys) {
    const std::vector<std::string> few = {"b", "B", "\xC3\xA1", "a", "A", "ab", "a-b", "x"};
    const struct {
        const char* what;
        int distinct;
    } cases[] = {{"eight texts over 600 nodes", 8}, {"600 different texts", 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string input = "<items>";
        for (int i = 0; i < 600; ++i) {
            const int pick = (i * 7919) % c.distinct;
            input += "<i n=\"" + std::to_string(i) + "\"><k>";
            if (c.distinct == 8) {
                input += few[static_cast<std::size_t>(pick)];
            } else {
                input += 'w';
                input += std::to_string(pick);
            }
            input += "</k></i>";
        }
        WriteFile("in.xml", input + "</items>");
        std::string results[2];
        std::uint64_t keysMade[2] = {};
        for (const std::string select : {"k", "concat(k, '')"}) {
            WriteFile("sort.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each select=\"//i\">"
                                             "<xsl:sort select=\"" + select + "\"/><xsl:value-of select=\"@n\"/>,"
                                             "</xsl:for-each></xsl:template>"));
            const std::size_t at = select == "k" ? 0 : 1;
            const std::uint64_t before = xmlservice::SortKeysMade();
            results[at] = Transform("sort.xsl", "in.xml");
            keysMade[at] = xmlservice::SortKeysMade() - before;
        }
        EXPECT_EQ(results[0], results[1]);
        // Upper case first: "A" is picked at 4, 12, ...; "w0" then "w1" (picked at 479).
        const std::string first = c.distinct == 8 ? "4,12,20," : "0,479,";
        EXPECT_EQ(results[0].substr(0, first.size()), first);
        // A copied text (the result of concat) is never remembered.
        EXPECT_EQ(keysMade[1], 600u);
        EXPECT_EQ(keysMade[0], c.distinct == 8 ? 8u : 600u);
    }
}

}  // namespace
