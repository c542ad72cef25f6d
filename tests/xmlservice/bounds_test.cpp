// What hostile input multiplies stays bounded: messages and refusals repeated many times, the
// names of many files read, module reads of a stylesheet that imports its modules over and over,
// the serialized result, and the guard under the large stack.
#include "reference_test.h"

#include "engine/budget.h"
#include "engine/call_record.h"
#include "engine/large_stack.h"
#include "engine/library_setup.h"
#include "xslt/expression_rewrite.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

using BoundsTest = ReferenceTest;

// The processor time the process has used, in seconds: a bound on it holds on a busy machine.
double ProcessorSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

TEST_F(BoundsTest, ARefusalRepeatedThousandsOfTimesKeepsItsFirstReasonsOnly) {
    std::string text = "<!DOCTYPE r [<!ENTITY e SYSTEM \"outside.ent\">]><r>";
    for (int i = 0; i < 150000; ++i) text += "&e;";
    WriteFile("refused.xml", text + "</r>");
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    EXPECT_EQ(document->load(Text("refused.xml"), &loaded), S_FALSE);
    EXPECT_EQ(loaded, VARIANT_FALSE);
    const std::string reason = ParseReason(document);
    EXPECT_NE(reason.find("The external entity \"" + Absolute("outside.ent") + "\" is refused"), std::string::npos)
        << reason;
    // All of them counted; libxml2 2.15 stops the parse after fifty thousand, 2.9.14 goes on.
    const std::size_t more = reason.find("; and ");
    ASSERT_NE(more, std::string::npos) << reason;
    EXPECT_GE(std::stoul(reason.substr(more + 6)), 49000u) << reason;
    EXPECT_NE(reason.find(" more messages", more), std::string::npos) << reason;
    EXPECT_LT(reason.size(), 16u * 1024);
}

TEST(CallRecordBounds, ARecordKeepsTheFirstMessagesAndRefusalsAndCountsTheRest) {
    xmlservice::PrepareLibraries();
    xmlservice::CallRecord call;
    const std::string longReason(10000, 'r');
    for (int i = 0; i < 50000; ++i) {
        call.Refuse(std::to_string(i) + (i % 2 == 0 ? longReason : " refused"));
        call.Add({"message " + std::to_string(i), true});
        call.AddText(longReason + "\n");
    }
    // What it keeps is bounded whatever it is given; what it shows is ten lines and a count.
    EXPECT_LT(call.KeptBytes(), std::size_t{5} << 20);
    const std::string description = call.Describe({});
    EXPECT_NE(description.find("; and 49990 more messages"), std::string::npos) << description.substr(0, 200);
    EXPECT_LT(description.size(), 16u * 1024);
    EXPECT_EQ(call.ParserErrorCount(), 50000u);
}

TEST(CallRecordBounds, ARefusalRepeatedIsShownOnce) {
    xmlservice::PrepareLibraries();
    xmlservice::CallRecord call;
    for (int i = 0; i < 1000; ++i) {
        call.Refuse("the same reason");
        if (i % 100 == 0) call.Refuse("reason " + std::to_string(i));
    }
    EXPECT_TRUE(call.Refused());
    EXPECT_EQ(call.Describe({}), "the same reason; reason 0; reason 100; reason 200; reason 300; reason 400; "
                                 "reason 500; reason 600; reason 700; reason 800; and 1 more messages");
}

TEST_F(BoundsTest, AMessageThatCannotBeFormattedIsReportedAsSuch) {
    xmlservice::PrepareLibraries();
    const xmlservice::CallRecord call;
    // A wide character with no narrow form in the C locale: the formatting fails.
    xmlGenericError(xmlGenericErrorContext, "%ls\n", L"\u20AC");
    EXPECT_EQ(call.Describe({}), "A message of the libraries could not be formatted");
}

TEST_F(BoundsTest, ManyFilesReadByDocumentCostWorkInProportion) {
    // Each document() call reads the same file under another URL, so that every one brings a
    // name and a parser warning (a relative namespace URI), which does not fail the load. Twelve
    // thousand: libxslt itself looks each new document up in a list of those loaded before.
    WriteFile("in.xml", "<r/>");
    WriteFile("warned.xml", "<r xmlns:a=\"relative\"/>");
    WriteFile("many.xsl", Stylesheet(kTextOutput + "<xsl:template match=\"/\"><xsl:for-each"
                                                   " select=\"str:tokenize(str:padding(12000, 'a'), '')\">"
                                                   "<xsl:value-of select=\"count(document(concat('warned.xml?',"
                                                   " position())))\"/></xsl:for-each></xsl:template>",
                                     " xmlns:str=\"http://exslt.org/strings\""));
    const double before = ProcessorSeconds();
    const std::string written = Transform("many.xsl", "in.xml");
    // A scan of all names for every message takes minutes here.
    EXPECT_LT(ProcessorSeconds() - before, 20.0);
    EXPECT_EQ(written, std::string(12000, '1'));
}

TEST(KeyRewriteBounds, ExpressionsFullOfKeyCallsAreReadInTimeInProportionToTheirLength) {
    // 1.6 MB of nested key( calls, malformed or closed, with a [1] after each closing.
    std::string open;
    for (int i = 0; i < 400000; ++i) open += "key(";
    std::string closed = open + "'v'";
    for (int i = 0; i < 400000; ++i) closed += ")[1]";
    for (const std::string* text : {&open, &closed}) {
        const double before = ProcessorSeconds();
        const std::string rewritten(xmlservice::RewriteFirstKeyCalls(*text, xmlservice::XPathText::Expression));
        EXPECT_LT(ProcessorSeconds() - before, 10.0) << text->size();
        // Neither compiles as XPath (too deep), so both stay as written.
        EXPECT_EQ(rewritten, *text);
    }
}

TEST(KeyRewriteBounds, NestedListsOfExtensionPrefixesAreWalkedInTimeInProportionToTheirLength) {
    // 200 levels of literal result elements, each declaring a prefix and naming it 4000 times:
    // 4 MB of lists. Copying the path's list at every level would take 160 million entries.
    std::string text = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                       "<xsl:template match=\"/\">";
    constexpr int kLevels = 200;
    for (int level = 0; level < kLevels; ++level) {
        std::string prefix = "p";
        prefix += std::to_string(level);
        text.append("<e xmlns:").append(prefix).append("=\"urn:").append(prefix).append("\" a=\"{key('k', .)[1]}\"");
        text.append(" xsl:extension-element-prefixes=\"");
        for (int i = 0; i < 4000; ++i) text.append(prefix).append(" ");
        text.append("\">");
    }
    for (int level = 0; level < kLevels; ++level) text.append("</e>");
    text.append("</xsl:template></xsl:stylesheet>");
    xmlDoc* document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "nested.xsl", nullptr, XML_PARSE_HUGE);
    ASSERT_NE(document, nullptr);
    const double before = ProcessorSeconds();
    xmlservice::RewriteExpressions(document);
    EXPECT_LT(ProcessorSeconds() - before, 5.0);
    // The elements are literal ones, in no extension namespace: the deepest one is rewritten too.
    xmlNode* deepest = xmlDocGetRootElement(document)->children;
    while (deepest->children != nullptr && deepest->children->type == XML_ELEMENT_NODE) deepest = deepest->children;
    xmlChar* value = xmlGetProp(deepest, reinterpret_cast<const xmlChar*>("a"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value)), std::string("{").append(xmlservice::kFirstKeyFunction).append("('k', .)}"));
    xmlFree(value);
    xmlFreeDoc(document);
}

TEST_F(BoundsTest, ModulesImportingTheirModulesTwiceFailQuicklyWhileManyImportsCompile) {
    constexpr int kLevels = 30;
    for (int level = 0; level < kLevels; ++level) {
        const std::string next = "level" + std::to_string(level + 1) + ".xsl";
        const std::string imports =
            level + 1 < kLevels ? "<xsl:import href=\"" + next + "\"/><xsl:import href=\"" + next + "\"/>" : "";
        WriteFile("level" + std::to_string(level) + ".xsl", Stylesheet(imports + kTextOutput));
    }
    IXMLDOMDocumentPtr stylesheet = Load("level0.xsl", CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr compiled(CLSID_XSLTemplate);
    const double before = ProcessorSeconds();
    EXPECT_EQ(compiled->putref_stylesheet(stylesheet), E_ACCESSDENIED);
    EXPECT_LT(ProcessorSeconds() - before, 10.0);
    const std::string description = TakeErrorDescription();
    // Every read past the cap is refused for the same reason, which the description gives once.
    EXPECT_EQ(description, "Compiling the stylesheet needs more than 2000 reads of its imported and included "
                           "modules; it is refused");

    // Three hundred modules imported side by side, and a chain of thirty imports each of the
    // next, compile and run. (libxslt from 1.1.40 on refuses chains of forty and more itself.)
    std::string imports;
    for (int module = 0; module < 300; ++module) {
        const std::string name = "side" + std::to_string(module) + ".xsl";
        WriteFile(name, Stylesheet(kTextOutput + (module == 299 ? "<xsl:template match=\"/\">side by side</xsl:template>"
                                                                : "")));
        imports += "<xsl:import href=\"" + name + "\"/>";
    }
    WriteFile("sides.xsl", Stylesheet(imports + kTextOutput));
    constexpr int kChain = 30;
    for (int link = 0; link < kChain; ++link) {
        const std::string next = "link" + std::to_string(link + 1) + ".xsl";
        const std::string import = link + 1 < kChain ? "<xsl:import href=\"" + next + "\"/>" : "";
        const std::string body = link + 1 < kChain ? "" : "<xsl:template match=\"/\">end of the chain</xsl:template>";
        WriteFile("link" + std::to_string(link) + ".xsl", Stylesheet(import + kTextOutput + body));
    }
    WriteFile("in.xml", "<r/>");
    EXPECT_EQ(Transform("sides.xsl", "in.xml"), "side by side");
    EXPECT_EQ(Transform("link0.xsl", "in.xml"), "end of the chain");
}

TEST_F(BoundsTest, TheSerializedResultCountsAgainstTheMemoryBudget) {
    // A tree of 4 MB whose text triples when escaped: within a budget of 16 MiB as a tree, not
    // once written out.
    xmlservice::SetBudgetBaseForTesting(16 * kMiB);
    WriteFile("in.xml", "<r/>");
    WriteFile("escaped.xsl",
              Stylesheet("<xsl:output method=\"xml\"/><xsl:variable name=\"tenth\" select=\"str:padding(100000, '&amp;')\"/>"
                         "<xsl:variable name=\"whole\" select=\"concat($tenth, $tenth, $tenth, $tenth, $tenth, $tenth,"
                         " $tenth, $tenth, $tenth, $tenth)\"/><xsl:template match=\"/\"><out><xsl:value-of"
                         " select=\"concat($whole, $whole, $whole, $whole)\"/></out></xsl:template>",
                         " xmlns:str=\"http://exslt.org/strings\""));
    const FailedTransform failed = TransformFailing("escaped.xsl", "in.xml");
    xmlservice::SetBudgetBaseForTesting(xmlservice::kBudgetBase);
    EXPECT_EQ(failed.code, E_OUTOFMEMORY);
    EXPECT_NE(failed.description.find("The memory budget of 16.0 MiB for the XML work"), std::string::npos)
        << failed.description;
}

// The mapping that holds `address`, and the one right below it, from /proc/self/maps.
struct Mappings {
    std::uintptr_t start = 0;
    std::string belowPermissions;
    std::uintptr_t belowStart = 0;
    std::uintptr_t belowEnd = 0;
};

Mappings MappingsAround(std::uintptr_t address) {
    Mappings found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::uintptr_t previousStart = 0;
    std::uintptr_t previousEnd = 0;
    std::string previousPermissions;
    while (std::getline(maps, line)) {
        const std::uintptr_t start = std::stoull(line, nullptr, 16);
        const std::uintptr_t end = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
        const std::string permissions = line.substr(line.find(' ') + 1, 4);
        if (address >= start && address < end) {
            found.start = start;
            if (previousEnd == start) {
                found.belowPermissions = previousPermissions;
                found.belowStart = previousStart;
                found.belowEnd = previousEnd;
            }
            break;
        }
        previousStart = start;
        previousEnd = end;
        previousPermissions = permissions;
    }
    return found;
}

HRESULT NoteStackAddress(void* address) {
    const char here = 0;
    *static_cast<std::uintptr_t*>(address) = reinterpret_cast<std::uintptr_t>(&here);
    return S_OK;
}

TEST(LargeStackGuard, AMegabyteBelowTheStackIsInaccessible) {
    // libxml2 and libxslt put frames of up to 64 KiB on the stack: a single guard page below it
    // could be leapt by one of them.
    std::uintptr_t onStack = 0;
    ASSERT_EQ(xmlservice::RunOnLargeStack(NoteStackAddress, &onStack), S_OK);
    const Mappings mappings = MappingsAround(onStack);
    ASSERT_NE(mappings.start, 0u);
    EXPECT_EQ(mappings.belowPermissions, "---p");
    EXPECT_GE(mappings.belowEnd - mappings.belowStart, std::uintptr_t{1} << 20);
}

}  // namespace
