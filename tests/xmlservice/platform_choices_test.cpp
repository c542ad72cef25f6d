// Where XSLT 1.0 leaves a processor the choice, the service chooses as the platform does:
// document() of a resource it cannot retrieve is an error, a fragment identifier loads the whole
// document, a result tree fragment is no node-set, processing instructions check their names and
// keep "?>" out of their content, and of contradicting declarations the last wins.
#include "reference_test.h"

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

class PlatformChoicesTest : public ReferenceTest {};

// A stylesheet whose text result is the value of `select` at the root of the input.
std::string ValueOf(const std::string& select, const std::string& namespaces = {}) {
    return Stylesheet(kTextOutput + "<xsl:template match=\"/\">[<xsl:value-of select=\"" + select +
                          "\"/>]</xsl:template>",
                      namespaces);
}

TEST_F(PlatformChoicesTest, DocumentOfAResourceThatCannotBeRetrievedFailsNamingItAndWhy) {
    WriteFile("in.xml", "<r><u>missing.xml</u></r>");
    WriteFile("broken.xml", "<unclosed>");
    WriteFile("folder/inside.xml", "<r/>");
    ASSERT_EQ(mkfifo(Absolute("pipe.xml").c_str(), 0600), 0);
    struct Case {
        std::string select;
        std::string resource;
        std::string why;
    };
    const Case cases[] = {
        {"count(document('missing.xml'))", "missing.xml", "it does not exist"},
        {"count(document(/r/u))", "missing.xml", "it does not exist"},
        {"count(document('broken.xml'))", "broken.xml", "it is not well-formed ("},
        {"count(document('folder'))", "folder", "it is not a regular file"},
        {"count(document('pipe.xml'))", "pipe.xml", "it is not a regular file"},
        {"count(document('missing.xml#id(x)'))", "missing.xml", "it does not exist"},
    };
    for (const Case& c : cases) {
        WriteFile("doc.xsl", ValueOf(c.select));
        const FailedTransform failed = TransformFailing("doc.xsl", "in.xml");
        EXPECT_TRUE(FAILED(failed.code)) << c.select;
        EXPECT_EQ(failed.output, "");
        const std::string expected =
            "The document \"" + Absolute(c.resource) + "\" named in document() cannot be retrieved: " + c.why;
        EXPECT_EQ(failed.description.substr(0, expected.size()), expected) << c.select;
    }
}

TEST_F(PlatformChoicesTest, DocumentIgnoresAFragmentIdentifier) {
    WriteFile("data/d.xml", "<d><e id=\"x\">1</e><e>2</e></d>");
    WriteFile("in.xml", "<r><u>data/d.xml#xpointer(/d/e[2])</u><u>data/d.xml#x</u></r>");
    WriteFile("data/base.xml", "<b/>");
    const std::pair<std::string, std::string> cases[] = {
        {"count(document('data/d.xml#xpointer(/d/e[2])')/d/e)", "[2]"},
        {"count(document('data/d.xml#x')//e)", "[2]"},
        // Node-sets: each URI relative to its own node, or to the given base.
        {"count(document(/r/u)/d/e)", "[2]"},
        {"count(document(/r/u, document('data/base.xml'))/d/e)", "[0]"},
        {"count(document('d.xml#x', document('data/base.xml'))/d/e)", "[2]"},
        // A fragment alone names the stylesheet itself.
        {"count(document('#top')/xsl:stylesheet)", "[1]"},
    };
    for (const auto& [select, expected] : cases) {
        WriteFile("doc.xsl", ValueOf(select));
        if (select.find("/r/u, document") != std::string::npos) {
            // The URIs relative to data/ name data/data/d.xml, which does not exist.
            const FailedTransform failed = TransformFailing("doc.xsl", "in.xml");
            EXPECT_NE(failed.description.find("data/data/d.xml\" named in document() cannot be retrieved"),
                      std::string::npos)
                << failed.description;
            continue;
        }
        EXPECT_EQ(Transform("doc.xsl", "in.xml"), expected) << select;
    }
}

TEST_F(PlatformChoicesTest, AResultTreeFragmentIsNoNodeSetButConvertsWithNodeSet) {
    WriteFile("in.xml", "<r/>");
    const std::string namespaces =
        " xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" xmlns:exsl=\"http://exslt.org/common\"";
    const std::string fragment = "<xsl:variable name=\"f\"><x>1</x><x>2</x></xsl:variable>";
    for (const std::string select : {"count($f/x)", "$f/x", "count($f/*)"}) {
        WriteFile("rtf.xsl", Stylesheet(kTextOutput + fragment + "<xsl:template match=\"/\"><xsl:value-of select=\"" +
                                            select + "\"/></xsl:template>",
                                        namespaces));
        const FailedTransform failed = TransformFailing("rtf.xsl", "in.xml");
        EXPECT_TRUE(FAILED(failed.code)) << select;
        EXPECT_NE(failed.description.find("The expression must evaluate to a node-set: a result tree fragment is not a "
                                          "node-set (msxsl:node-set() makes one of it)"),
                  std::string::npos)
            << failed.description;
    }
    WriteFile("converted.xsl",
              Stylesheet(kTextOutput + fragment + "<xsl:template match=\"/\"><xsl:value-of select=\"count(msxsl:node-set($f)/x)"
                                                  " + count(exsl:node-set($f)/x)\"/></xsl:template>",
                         namespaces));
    EXPECT_EQ(Transform("converted.xsl", "in.xml"), "4");
}

TEST_F(PlatformChoicesTest, ProcessingInstructionsNeedATargetNameAndSeparateQuestionMarkFromGreaterThan) {
    WriteFile("in.xml", "<r n=\"x-1\"/>");
    const std::pair<std::string, std::string> written[] = {
        {"<xsl:processing-instruction name=\"p\">a?&gt;b?&gt;</xsl:processing-instruction>", "<?p a? >b? >?>"},
        // Text of elements inside counts, other nodes are dropped.
        {"<xsl:processing-instruction name=\"p\">a<b>c</b><xsl:comment>no</xsl:comment>??&gt;</xsl:processing-instruction>",
         "<?p ac?? >?>"},
        {"<xsl:processing-instruction name=\"{/r/@n}\"/>", "<?x-1?>"},
        {"<xsl:processing-instruction name=\"a{{b}}{'c'}\"/>", ""},
        {"<xsl:processing-instruction name=\"xml-stylesheet\">href=\"s.css\"</xsl:processing-instruction>",
         "<?xml-stylesheet href=\"s.css\"?>"},
    };
    for (const auto& [instruction, expected] : written) {
        WriteFile("pi.xsl", Stylesheet("<xsl:template match=\"/\"><r>" + instruction + "</r></xsl:template>"));
        if (expected.empty()) {
            EXPECT_NE(TransformFailing("pi.xsl", "in.xml").description.find("\"a{b}c\""), std::string::npos);
            continue;
        }
        EXPECT_EQ(Transform("pi.xsl", "in.xml"), "<?xml version=\"1.0\"?>\n<r>" + expected + "</r>\n") << instruction;
    }
    for (const std::string name : {"x:y", "xml", "XmL", "1a", "a b", "", "{concat('q', &quot;'}&quot;)}"}) {
        WriteFile("pi.xsl", Stylesheet("<xsl:template match=\"/\"><r><xsl:processing-instruction name=\"" + name +
                                       "\">c</xsl:processing-instruction></r></xsl:template>"));
        const FailedTransform failed = TransformFailing("pi.xsl", "in.xml");
        EXPECT_TRUE(FAILED(failed.code)) << name;
        EXPECT_NE(failed.description.find("of xsl:processing-instruction is not an NCName that can be a processing "
                                          "instruction's target"),
                  std::string::npos)
            << failed.description;
    }
}

TEST_F(PlatformChoicesTest, OfContradictingDeclarationsTheLastWins) {
    WriteFile("in.xml", "<r><a> </a><b> </b><c> </c></r>");
    // Declarations go after the template; their order is what counts.
    std::string space = ValueOf("concat(count(r/a/text()), count(r/b/text()), count(r/c/text()))");
    space.insert(space.find("<xsl:template"),
                 "<xsl:strip-space elements=\"a c\"/><xsl:preserve-space elements=\"a b\"/><xsl:strip-space elements=\"b\"/>");
    WriteFile("space.xsl", space);
    EXPECT_EQ(Transform("space.xsl", "in.xml"), "[100]");

    WriteFile("alias.xsl",
              Stylesheet("<xsl:namespace-alias stylesheet-prefix=\"x\" result-prefix=\"one\"/>"
                         "<xsl:namespace-alias stylesheet-prefix=\"x\" result-prefix=\"two\"/>"
                         "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"v\">first</xsl:attribute></xsl:attribute-set>"
                         "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"v\">last</xsl:attribute></xsl:attribute-set>"
                         "<xsl:template match=\"/\"><x:e xsl:use-attribute-sets=\"s\"/></xsl:template>",
                         " xmlns:x=\"urn:x\" xmlns:one=\"urn:one\" xmlns:two=\"urn:two\" exclude-result-prefixes=\"one two\""));
    EXPECT_EQ(Transform("alias.xsl", "in.xml"), "<?xml version=\"1.0\"?>\n<x:e xmlns:x=\"urn:two\" v=\"last\"/>\n");
}

}  // namespace
