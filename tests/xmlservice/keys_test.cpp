// key(): the service's own key() and its rewrite of key(...)[1] give libxslt's answers, byte for
// byte, at a cost that grows linearly with the groups instead of with their squares.
#include "reference_test.h"

#include "xslt/ids.h"
#include "xslt/expression_rewrite.h"
#include "xslt/keys.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <vector>

namespace {

using xmlservice::GeneratedIdsGiven;
using xmlservice::KeyNodeWork;
using xmlservice::kFirstKeyFunction;
using xmlservice::RewriteExpressions;
using xmlservice::RewriteFirstKeyCalls;
using xmlservice::XPathText;

using KeysTest = ReferenceTest;

std::string First(const std::string& arguments) { return std::string(kFirstKeyFunction) + arguments; }

// Books in genres that interleave, a book in two genres, and a shelf that refers to genres.
const std::string kBooks =
    "<shelf><book id=\"b1\"><genre>poetry</genre><title>Ode</title></book>"
    "<book id=\"b2\"><genre>crime</genre><title>Alibi</title></book>"
    "<book id=\"b3\"><genre>poetry</genre><genre>crime</genre><title>Sonnet</title></book>"
    "<book id=\"b4\"><genre>drama</genre><title>Exit</title></book>"
    "<book id=\"b5\"><genre>crime</genre><title>Motive</title></book>"
    "<wish>drama</wish><wish>crime</wish><wish>none</wish></shelf>";

TEST(KeyRewrite, OnlyKeyCallsFollowedByThePredicateOneBecomeTheFirstNodeCall) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"key('k', .)[1]", First("('k', .)")},
        {"generate-id(key('k', genre) [ 1 ])", "generate-id(" + First("('k', genre))")},
        {"key ('k', 'v')[1.0]/title", std::string(kFirstKeyFunction) + " ('k', 'v')/title"},
        {"key('k', v)[01][2]", First("('k', v)[2]")},
        {"count(. | key('k', v)[1]) = 1", "count(. | " + First("('k', v)) = 1")},
        {"key('a', key('b', x)[1])[1]", First("('a', " + First("('b', x))"))},
        {"key('k', ')[1]')[1]", First("('k', ')[1]')")},
        {"key('k', (v | w)[1])[1]", First("('k', (v | w)[1])")},
        // Not a first node of key(), or no call of key() at all.
        {"concat('key(1)[1]', \"key('k', 1)[1]\")", "concat('key(1)[1]', \"key('k', 1)[1]\")"},
        {"key('k', v)[2]", "key('k', v)[2]"},
        {"key('k', v)[last()]", "key('k', v)[last()]"},
        {"key('k', v)[position() = 1]", "key('k', v)[position() = 1]"},
        {"key('k', v)", "key('k', v)"},
        {"p:key('k', v)[1]", "p:key('k', v)[1]"},
        {"keys('k', v)[1]", "keys('k', v)[1]"},
        {"$key[1]", "$key[1]"},
        {"//key[1]", "//key[1]"},
        {"child::key[1]", "child::key[1]"},
        // Texts that do not compile stay as written, for libxslt to report.
        {"key('k', v)[1] +", "key('k', v)[1] +"},
        {"r/key('k', v)[1]", "r/key('k', v)[1]"},
        {"key('k', 'v)[1]", "key('k', 'v)[1]"},
    };
    const auto rewrite = [](std::string_view text, XPathText kind) {
        return std::string(RewriteFirstKeyCalls(text, kind));
    };
    for (const Case& c : cases) EXPECT_EQ(rewrite(c.text, XPathText::Expression), c.expected) << c.text;

    // In a pattern, key() at the top is a pattern of its own; inside predicates it is a call.
    EXPECT_EQ(rewrite("key('k', 'v')[1]", XPathText::Pattern), "key('k', 'v')[1]");
    EXPECT_EQ(rewrite("book[generate-id() = generate-id(key('k', genre)[1])]", XPathText::Pattern),
              "book[generate-id() = generate-id(" + First("('k', genre))]"));
}

// A stylesheet's body and a piece its result must hold.
struct StylesheetCase {
    std::string body;
    std::string mustHold;
};

TEST_F(KeysTest, GroupingIdiomsGiveLibxsltsBytes) {
    WriteFile("in.xml", kBooks);
    const std::string key = "<xsl:key name=\"by-genre\" match=\"book\" use=\"genre\"/>";
    const std::string text = key + kTextOutput;
    const StylesheetCase cases[] = {
        // The usual idiom, with the group of each first book and their sorting.
        {text + "<xsl:template match=\"/\"><xsl:for-each select=\"//book[generate-id() = generate-id(key('by-genre',"
               " genre)[1])]\"><xsl:sort select=\"genre\"/><xsl:variable name=\"g\" select=\"key('by-genre', genre)\"/>"
               "<xsl:value-of select=\"genre\"/>:<xsl:value-of select=\"count($g)\"/>:<xsl:for-each select=\"$g\">"
               "<xsl:sort select=\"title\"/><xsl:value-of select=\"@id\"/>,</xsl:for-each>;</xsl:for-each>"
               "</xsl:template>",
         "crime:3:b2,b5,b3,;"},
        // The other common form, with whitespace inside the call and its predicate.
        {text + "<xsl:template match=\"/\"><xsl:for-each select=\"//book[count(. | key( 'by-genre' , genre ) [ 1 ])"
               " = 1]\"><xsl:value-of select=\"@id\"/>,</xsl:for-each></xsl:template>",
         "b1,b2,b4,"},
        // As a template's pattern, and in attribute value templates of a literal result element.
        {key + "<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/><xsl:template match=\"/\"><out>"
               "<xsl:apply-templates select=\"//book\"/></out></xsl:template>"
               "<xsl:template match=\"book[generate-id() = generate-id(key('by-genre', genre)[1])]\">"
               "<first id=\"{key('by-genre', genre)[1]/@id}\" same=\"{{key('by-genre', genre)[1]}}\""
               " text=\"{concat('key(&quot;k&quot;, 1)[1]', key('by-genre', genre)[1]/title)}\"/>"
               "</xsl:template><xsl:template match=\"book\"/>",
         "<first id=\"b1\" same=\"{key('by-genre', genre)[1]}\" text=\"key(&quot;k&quot;, 1)[1]Ode\"/>"},
        // Other positions are no first node and keep their meaning (for one value: several values
        // are ordered differently, as FirstNodesAreInDocumentOrder shows).
        {text + "<xsl:template match=\"/\"><xsl:for-each select=\"//book\"><xsl:value-of select=\"key('by-genre',"
               " genre[1])[2]/@id\"/>/<xsl:value-of select=\"key('by-genre', genre[1])[last()]/@id\"/>,</xsl:for-each>"
               "</xsl:template>",
         "b3/b3,b3/b5,b3/b3,/b4,b3/b5,"},
        // A value without a group, and a key name without a definition.
        {text + "<xsl:template match=\"/\">[<xsl:value-of select=\"count(key('by-genre', 'none'))\"/>"
               "<xsl:value-of select=\"key('by-genre', 'none')[1]/@id\"/>|<xsl:value-of"
               " select=\"count(key('no-such-key', 'crime')[1])\"/>]</xsl:template>",
         "[0|0]"},
    };
    for (const StylesheetCase& c : cases) {
        WriteFile("grouping.xsl", Stylesheet(c.body));
        ExpectLibxsltBytes("grouping.xsl", "in.xml", c.mustHold);
    }
}

TEST_F(KeysTest, NodeSetArgumentsNamespacesAndAttributesGiveLibxsltsBytes) {
    WriteFile("in.xml", kBooks);
    struct Case {
        std::string body;
        std::string namespaces;
        std::string mustHold;
    };
    const Case cases[] = {
        // Each node's string value looked up, the union without duplicates; b3 is in both groups.
        {"<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:template match=\"/\"><xsl:for-each"
         " select=\"key('g', //wish)\"><xsl:value-of select=\"@id\"/>,</xsl:for-each>|<xsl:value-of"
         " select=\"count(key('g', //wish))\"/>|<xsl:value-of select=\"key('g', //wish[2])[1]/@id\"/>|<xsl:value-of"
         " select=\"count(key('g', //nothing))\"/></xsl:template>",
         "", "b2,b3,b4,b5,|4|b2|0"},
        // A key in a namespace, named through another prefix for the same URI; an unprefixed key
        // of the same local name is another key.
        {"<xsl:key name=\"a:g\" match=\"book\" use=\"genre\"/><xsl:key name=\"g\" match=\"book\" use=\"title\"/>"
         "<xsl:template match=\"/\" xmlns:b=\"urn:keys\"><xsl:value-of select=\"count(key('b:g', 'crime'))\"/>,"
         "<xsl:value-of select=\"key('b:g', 'crime')[1]/@id\"/>,<xsl:value-of select=\"count(key('g', 'crime'))\"/>,"
         "<xsl:value-of select=\"key('g', 'Exit')[1]/@id\"/></xsl:template>",
         " xmlns:a=\"urn:keys\"", "3,b2,0,b4"},
        // Attributes as members, one member found through two values, and members whose use gives
        // one value twice (its genre and a wish), which are in the group once.
        {"<xsl:key name=\"ids\" match=\"@id\" use=\".\"/><xsl:key name=\"t\" match=\"book\" use=\"genre | title\"/>"
         "<xsl:key name=\"twice\" match=\"book\" use=\"genre | ../wish\"/><xsl:template match=\"/\"><xsl:value-of"
         " select=\"name(key('ids', 'b4')[1]/..)\"/>,<xsl:value-of select=\"count(key('t', 'Sonnet') | key('t',"
         " 'poetry'))\"/>,<xsl:value-of select=\"count(key('twice', 'crime'))\"/></xsl:template>",
         "", "book,2,5"},
    };
    for (const Case& c : cases) {
        WriteFile("arguments.xsl", Stylesheet(kTextOutput + c.body, c.namespaces));
        ExpectLibxsltBytes("arguments.xsl", "in.xml", c.mustHold);
    }
}

// A use of one bare name is read from the children without XPath: every child of that name in
// no namespace is a value, with its whole text; an attribute matched has no children.
TEST_F(KeysTest, AUseOfOneNameGivesLibxsltsBytes) {
    WriteFile("in.xml", "<lib><book id=\"b1\"><genre>crime</genre><genre>drama</genre></book><book id=\"b2\">"
                        "<x:genre xmlns:x=\"urn:x\">crime</x:genre><genre xmlns=\"urn:y\">crime</genre></book>"
                        "<book id=\"b3\"><genre>cri<i>me</i></genre></book><book id=\"b4\" genre=\"crime\"/></lib>");
    WriteFile("use.xsl", Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book | @genre\" use=\"genre\"/>"
                                                  "<xsl:template match=\"/\"><xsl:value-of select=\"count(key('g',"
                                                  " 'crime'))\"/>:<xsl:for-each select=\"key('g', 'crime')\">"
                                                  "<xsl:value-of select=\"@id\"/>,</xsl:for-each>:<xsl:value-of"
                                                  " select=\"key('g', 'drama')/@id\"/>:<xsl:value-of"
                                                  " select=\"count(key('g', ''))\"/></xsl:template>"));
    ExpectLibxsltBytes("use.xsl", "in.xml", "2:b1,b3,:b1:0");
}

TEST_F(KeysTest, KeysOfOtherDocumentsAndOfResultTreeFragmentsGiveLibxsltsBytes) {
    WriteFile("in.xml", kBooks);
    WriteFile("more.xml", "<more><book id=\"m1\"><genre>crime</genre></book><book id=\"m2\"><genre>crime</genre>"
                          "</book></more>");
    const std::string key = kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/>";
    const std::string documents =
        key + "<xsl:template match=\"/\"><xsl:for-each select=\"document('more.xml')//book\"><xsl:value-of"
              " select=\"count(key('g', 'crime'))\"/>:<xsl:value-of select=\"key('g', genre)[1]/@id\"/>,</xsl:for-each>"
              "<xsl:value-of select=\"key('g', 'crime')[1]/@id\"/></xsl:template>";
    WriteFile("documents.xsl", Stylesheet(documents));
    ExpectLibxsltBytes("documents.xsl", "in.xml", "2:m1,2:m1,b2");

    const std::string fragments =
        key + "<xsl:variable name=\"made\"><book id=\"r1\"><genre>crime</genre></book><book id=\"r2\"><genre>poetry"
              "</genre></book><book id=\"r3\"><genre>crime</genre></book></xsl:variable><xsl:template match=\"/\">"
              "<xsl:for-each select=\"exsl:node-set($made)/book\"><xsl:value-of select=\"count(key('g', genre))\"/>"
              ":<xsl:value-of select=\"key('g', genre)[1]/@id\"/>,</xsl:for-each><xsl:value-of select=\"count(key('g',"
              " 'crime'))\"/></xsl:template>";
    WriteFile("fragments.xsl", Stylesheet(fragments, " xmlns:exsl=\"http://exslt.org/common\""));
    ExpectLibxsltBytes("fragments.xsl", "in.xml", "2:r1,1:r2,2:r1,3");
}

TEST_F(KeysTest, KeyPatternsRecursiveKeysSeveralDefinitionsAndModulesGiveLibxsltsBytes) {
    WriteFile("in.xml", kBooks);
    const StylesheetCase cases[] = {
        // The tables are built by the service's key() first (the global variable), then matched
        // by a template's key() pattern, which finds its nodes marked.
        {"<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:variable name=\"crime\" select=\"count(key('g',"
         " 'crime'))\"/><xsl:template match=\"/\"><xsl:value-of select=\"$crime\"/>:<xsl:apply-templates"
         " select=\"//book\"/></xsl:template><xsl:template match=\"key('g', 'drama')\">D<xsl:value-of"
         " select=\"@id\"/>,</xsl:template><xsl:template match=\"book\"><xsl:value-of select=\"@id\"/>,"
         "</xsl:template>",
         "3:b1,b2,b3,Db4,b5,"},
        // A key whose use calls key() on another key.
        {"<xsl:key name=\"title\" match=\"book\" use=\"@id\"/><xsl:key name=\"by-first-title\" match=\"wish\""
         " use=\"key('title', 'b2')[1]/title\"/><xsl:template match=\"/\"><xsl:value-of"
         " select=\"count(key('by-first-title', 'Alibi'))\"/></xsl:template>",
         "3"},
        // Two definitions of one name fill one table.
        {"<xsl:key name=\"any\" match=\"book\" use=\"genre\"/><xsl:key name=\"any\" match=\"wish\" use=\".\"/>"
         "<xsl:template match=\"/\"><xsl:value-of select=\"count(key('any', 'crime'))\"/>:<xsl:for-each"
         " select=\"key('any', 'drama')\"><xsl:value-of select=\"name()\"/>,</xsl:for-each></xsl:template>",
         "4:book,wish,"},
    };
    for (const StylesheetCase& c : cases) {
        WriteFile("tables.xsl", Stylesheet(kTextOutput + c.body));
        ExpectLibxsltBytes("tables.xsl", "in.xml", c.mustHold);
    }

    // An imported module is compiled through the loader and gets the same rewrite.
    WriteFile("module.xsl", Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:template"
                                       " match=\"book\"><xsl:value-of select=\"key('g', genre)[1]/@id\"/>,"
                                       "</xsl:template>"));
    WriteFile("main.xsl", Stylesheet("<xsl:import href=\"module.xsl\"/>" + kTextOutput + "<xsl:template match=\"/\">"
                                     "<xsl:apply-templates select=\"//book\"/></xsl:template>"));
    ExpectLibxsltBytes("main.xsl", "in.xml", "b1,b2,b1,b4,b2,");
}

TEST_F(KeysTest, FirstNodesAreInDocumentOrderWhereLibxsltKeepsTheOrderOfTheValues) {
    // libxslt's key() lists the groups of a node-set argument one after another, and the groups of
    // a key with several definitions one definition after another, so its key(...)[1] can be a
    // later node. XPath takes key()'s result in document order, and so does the service, for [1]
    // and [position() = 1] alike. (libxslt answers "b4,b4,b2,wish,wish" here.)
    WriteFile("in.xml", kBooks);
    WriteFile("order.xsl",
              Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:key name=\"two\""
                         " match=\"wish\" use=\".\"/><xsl:key name=\"two\" match=\"book\" use=\"genre\"/>"
                         "<xsl:template match=\"/\"><xsl:value-of select=\"key('g', //wish)[1]/@id\"/>,"
                         "<xsl:value-of select=\"key('g', //wish)[position() = 1]/@id\"/>,"
                         "<xsl:value-of select=\"key('g', //wish)[2]/@id\"/>,"
                         "<xsl:value-of select=\"name(key('two', 'drama')[1])\"/>,"
                         "<xsl:value-of select=\"name(key('two', 'drama')[position() = 1])\"/></xsl:template>"));
    EXPECT_EQ(Transform("order.xsl", "in.xml"), "b2,b2,b3,book,book");
}

TEST_F(KeysTest, WrongCallsFailWithLibxsltsMessagesUnderTheNameKey) {
    WriteFile("in.xml", kBooks);
    struct Case {
        std::string call;
        std::string message;
    };
    const Case cases[] = {
        {"key('g')", "key() : expects two arguments"},
        {"key('g')[1]", "key() : expects two arguments"},
        {"key('nowhere:g', 'crime')", "key() : prefix nowhere is not bound"},
        {"key('nowhere:g', 'crime')[1]", "key() : prefix nowhere is not bound"},
    };
    for (const Case& c : cases) {
        WriteFile("wrong.xsl", Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:template"
                                                  " match=\"/\"><xsl:value-of select=\"count(" +
                                          c.call + ")\"/></xsl:template>"));
        const FailedTransform failed = TransformFailing("wrong.xsl", "in.xml");
        EXPECT_TRUE(FAILED(failed.code)) << c.call;
        const std::string& description = failed.description;
        EXPECT_NE(description.find(c.message), std::string::npos) << description;
        EXPECT_EQ(description.find(kFirstKeyFunction), std::string::npos) << description;
        EXPECT_EQ(LibxsltBytes("wrong.xsl", "in.xml"), "<libxslt failed>") << c.call;
        EXPECT_NE(lastLibxsltMessages_.find(c.message), std::string::npos) << lastLibxsltMessages_;
    }
}

// A catalogue of `books` books in two genres, alternating.
std::string Catalogue(int books) {
    std::string catalogue = "<catalog>";
    for (int i = 0; i < books; ++i)
        catalogue += "<book id=\"" + std::to_string(i) + "\"><genre>" + (i % 2 == 0 ? "even" : "odd") + "</genre></book>";
    return catalogue + "</catalog>";
}

TEST_F(KeysTest, GroupingCostsWorkInProportionToTheBooksNotToTheirSquares) {
    // Every book asks for the first of its group, and each of the two groups is listed once.
    // Copying whole groups for each book would cost books * books / 2.
    WriteFile("group.xsl",
              Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:template match=\"/\"><xsl:for-each"
                         " select=\"//book[generate-id() = generate-id(key('g', genre)[1])]\"><xsl:value-of"
                         " select=\"genre\"/>:<xsl:value-of select=\"count(key('g', genre))\"/>,</xsl:for-each>"
                         "</xsl:template>"));
    for (const int books : {1000, 8000}) {
        WriteFile("catalogue.xml", Catalogue(books));
        const std::uint64_t before = KeyNodeWork();
        const std::uint64_t idsBefore = GeneratedIdsGiven();
        const std::string written = Transform("group.xsl", "catalogue.xml");
        const std::uint64_t work = KeyNodeWork() - before;
        // Both ids of every book come from the service's table, not from libxslt's.
        EXPECT_EQ(GeneratedIdsGiven() - idsBefore, static_cast<std::uint64_t>(2 * books));
        const std::string half = std::to_string(books / 2);
        EXPECT_EQ(written, "even:" + half + ",odd:" + half + ",");
        // Building the table, one first node per book, and both groups copied once.
        EXPECT_GE(work, static_cast<std::uint64_t>(2 * books)) << books;
        EXPECT_LE(work, static_cast<std::uint64_t>(4 * books)) << books;
    }
}

TEST_F(KeysTest, ArgumentNodesThatShareAValueCostTheirGroupOnce) {
    // Every book's genre is an argument node, and the genres hold two values: each group is
    // gathered once, not once per node that holds its value (books * books / 2 members).
    WriteFile("all.xsl", Stylesheet(kTextOutput + "<xsl:key name=\"g\" match=\"book\" use=\"genre\"/><xsl:template"
                                                  " match=\"/\"><xsl:value-of select=\"count(key('g', //genre))\"/>,"
                                                  "<xsl:value-of select=\"key('g', //genre)[1]/@id\"/></xsl:template>"));
    for (const int books : {1000, 8000}) {
        WriteFile("catalogue.xml", Catalogue(books));
        const std::uint64_t before = KeyNodeWork();
        EXPECT_EQ(Transform("all.xsl", "catalogue.xml"), std::to_string(books) + ",0");
        const std::uint64_t work = KeyNodeWork() - before;
        // The table built once, and both groups gathered for each of the two calls.
        EXPECT_GE(work, static_cast<std::uint64_t>(2 * books)) << books;
        EXPECT_LE(work, static_cast<std::uint64_t>(4 * books)) << books;
    }
}

// The value of `attribute` on the element named `name` (the first in document order).
std::string AttributeOf(xmlDoc* document, const char* name, const char* attribute) {
    std::vector<xmlNode*> pending{xmlDocGetRootElement(document)};
    while (!pending.empty()) {
        xmlNode* node = pending.back();
        pending.pop_back();
        if (node->type != XML_ELEMENT_NODE) continue;
        if (xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(name)) != 0) {
            xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(attribute));
            std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "<none>";
            xmlFree(value);
            return text;
        }
        for (xmlNode* child = node->last; child != nullptr; child = child->prev) pending.push_back(child);
    }
    return "<no element>";
}

TEST(KeyRewrite, ExtensionElementsKeepTheirAttributesWhereTheirPrefixesAreInScope) {
    // e: and f: name extension namespaces where their lists say so, for the content below; a
    // prefix bound again to another namespace, or an element outside the list's scope, is a
    // literal result element, whose attribute value templates are rewritten.
    const std::string avt = "{key('k', .)[1]}";
    const std::string rewritten = std::string("{").append(kFirstKeyFunction).append("('k', .)}");
    const std::string text =
        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns:e=\"urn:e\""
        " extension-element-prefixes=\"e\"><xsl:template match=\"/\">"
        "<e:root a=\"" + avt + "\"/>"
        "<outer xmlns:f=\"urn:f\" xsl:extension-element-prefixes=\"f #default f\" xmlns=\"urn:default\">"
        "<f:inner a=\"" + avt + "\"/><plain a=\"" + avt + "\"/>"
        "<rebound xmlns:f=\"urn:other\"><f:other a=\"" + avt + "\"/></rebound></outer>"
        "<later xmlns:f=\"urn:f\"><f:after a=\"" + avt + "\"/></later>"
        "<e:again a=\"" + avt + "\"/>"
        "</xsl:template></xsl:stylesheet>";
    xmlDoc* document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "rewrite.xsl", nullptr, 0);
    ASSERT_NE(document, nullptr);
    RewriteExpressions(document);
    const struct {
        const char* element;
        std::string value;
    } cases[] = {
        {"root", avt}, {"inner", avt}, {"plain", avt}, {"other", rewritten}, {"after", rewritten}, {"again", avt},
    };
    for (const auto& c : cases) EXPECT_EQ(AttributeOf(document, c.element, "a"), c.value) << c.element;
    xmlFreeDoc(document);
}

}  // namespace
