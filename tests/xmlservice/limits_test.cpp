// The limits that keep hostile work bounded: the memory budget of the XML work, and the large
// stack that deep recursion within libxslt's own limits runs on.
#include "service_test.h"

#include "engine/budget.h"
#include "engine/handles.h"
#include "engine/heap.h"
#include "engine/library_setup.h"
#include "engine/large_stack.h"

#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using xmlservice::MemoryBudget;
using xmlservice::MemoryInUse;
using xmlservice::SetBudgetBaseForTesting;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string Stylesheet(const std::string& body) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n" + body +
           "\n</xsl:stylesheet>\n";
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Every test starts from a small budget; the next test of the process gets the real one back.
class LimitsTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        SetBudgetBaseForTesting(16 * kMiB);
    }
    void TearDown() override {
        SetBudgetBaseForTesting(xmlservice::kBudgetBase);
        ServiceTest::TearDown();
    }
};

// Each level calls itself twice: 2^$n leaves.
const std::string kGrowingTree = Stylesheet(
    "<xsl:param name=\"n\"/>"
    "<xsl:template match=\"/\"><r><xsl:call-template name=\"grow\"><xsl:with-param name=\"n\" select=\"$n\"/>"
    "</xsl:call-template></r></xsl:template>"
    "<xsl:template name=\"grow\"><xsl:param name=\"n\"/><x><xsl:if test=\"$n &gt; 0\">"
    "<xsl:call-template name=\"grow\"><xsl:with-param name=\"n\" select=\"$n - 1\"/></xsl:call-template>"
    "<xsl:call-template name=\"grow\"><xsl:with-param name=\"n\" select=\"$n - 1\"/></xsl:call-template>"
    "</xsl:if></x></xsl:template>"
    "<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/>");

// Doubles a 16-character string $n times and writes its length.
const std::string kGrowingString = Stylesheet(
    "<xsl:param name=\"n\"/>"
    "<xsl:template match=\"/\"><xsl:call-template name=\"double\"><xsl:with-param name=\"s\" "
    "select=\"'0123456789abcdef'\"/><xsl:with-param name=\"n\" select=\"$n\"/></xsl:call-template></xsl:template>"
    "<xsl:template name=\"double\"><xsl:param name=\"s\"/><xsl:param name=\"n\"/><xsl:choose>"
    "<xsl:when test=\"$n = 0\"><xsl:value-of select=\"string-length($s)\"/></xsl:when>"
    "<xsl:otherwise><xsl:call-template name=\"double\"><xsl:with-param name=\"s\" select=\"concat($s, $s)\"/>"
    "<xsl:with-param name=\"n\" select=\"$n - 1\"/></xsl:call-template></xsl:otherwise></xsl:choose></xsl:template>"
    "<xsl:output method=\"text\"/>");

TEST_F(LimitsTest, ExponentialWorkStopsAtTheBudgetWhileSmallerWorkRuns) {
    struct Case {
        const char* what;
        const char* stylesheet;
        int n;
        bool fits;
        std::string output;
    };
    const Case cases[] = {
        {"tree of 2^10 leaves", "grow-tree.xsl", 10, true, {}},
        {"tree of 2^64 leaves", "grow-tree.xsl", 64, false, {}},
        {"string of 2^14 characters", "grow-string.xsl", 10, true, "16384"},
        {"string of 2^68 characters", "grow-string.xsl", 64, false, {}},
    };
    WriteFile("in.xml", "<in/>");
    WriteFile("grow-tree.xsl", kGrowingTree);
    WriteFile("grow-string.xsl", kGrowingString);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetBudgetBaseForTesting(16 * kMiB);
        IXSLTemplatePtr compiled = Compile(c.stylesheet);
        IXMLDOMDocumentPtr input = Load("in.xml");
        IXSLProcessorPtr processor;
        ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
        ASSERT_EQ(processor->addParameter(_bstr_t("n"), _variant_t(static_cast<long>(c.n)), _bstr_t("")), S_OK);
        const std::uint64_t loaded = (MemoryBudget() - 16 * kMiB) / 16;
        EXPECT_EQ(loaded, 5 + std::filesystem::file_size(c.stylesheet));
        const std::uint64_t inUseBefore = MemoryInUse();

        const auto start = std::chrono::steady_clock::now();
        HRESULT result = S_OK;
        const std::string output = Run(processor, input, &result);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        if (c.fits) {
            EXPECT_EQ(result, S_OK) << TakeErrorDescription();
            if (!c.output.empty()) {
                EXPECT_EQ(output, c.output);
            }
            EXPECT_GT(output.size(), 0u);
            continue;
        }
        EXPECT_EQ(result, E_OUTOFMEMORY);
        EXPECT_EQ(output, "");
        // Taken on this thread, through the path a raising call takes.
        const std::string description = RaisedDescription(result, processor, __uuidof(IXSLProcessor));
        EXPECT_TRUE(description.starts_with("The memory budget of 16.") &&
                    description.ends_with(" MiB for the XML work (16 MiB plus 16 times the " +
                                          std::to_string(loaded) + " bytes of the files loaded) is exceeded"))
            << description;
        EXPECT_LT(seconds, 30.0);
        // Everything the stopped work held is given back.
        EXPECT_LE(MemoryInUse(), inUseBefore + kMiB);
    }
}

TEST_F(LimitsTest, KeyTablesCountAgainstTheBudget) {
    // Each key holds one value of 64 KiB, a copy of the document's text: 40 keys take 2.5 MiB,
    // 400 keys 25 MiB, over a budget of about 18 MiB. The libraries' own strings are freed as
    // each value is stored, so only the tables' count stops the second.
    WriteFile("in.xml", "<r>" + std::string(64 * 1024, 't') + "</r>");
    for (const int keys : {40, 400}) {
        SCOPED_TRACE(keys);
        std::string definitions;
        for (int i = 0; i < keys; ++i)
            definitions += "<xsl:key name=\"k" + std::to_string(i) + "\" match=\"r\" use=\"concat('" + std::to_string(i) +
                           "', .)\"/>";
        WriteFile("keys.xsl", Stylesheet(definitions + "<xsl:output method=\"text\"/><xsl:template match=\"/\">"
                                                       "<xsl:value-of select=\"count(key('k1', concat('1', r)))\"/>"
                                                       "</xsl:template>"));
        IXSLTemplatePtr compiled = Compile("keys.xsl");
        IXMLDOMDocumentPtr input = Load("in.xml");
        IXSLProcessorPtr processor;
        ASSERT_EQ(compiled->createProcessor(&processor), S_OK);
        const std::uint64_t inUseBefore = MemoryInUse();
        HRESULT result = S_OK;
        const std::string output = Run(processor, input, &result);
        if (keys == 40) {
            EXPECT_EQ(result, S_OK) << TakeErrorDescription();
            EXPECT_EQ(output, "1");
            continue;
        }
        EXPECT_EQ(result, E_OUTOFMEMORY);
        const std::string description = RaisedDescription(result, processor, __uuidof(IXSLProcessor));
        EXPECT_TRUE(description.starts_with("The memory budget of ")) << description;
        EXPECT_LE(MemoryInUse(), inUseBefore + kMiB);
    }
}

TEST_F(LimitsTest, ALoadedDocumentAddsSixteenTimesItsFileToTheBase) {
    // The same size twice: 50 000 empty elements take far more than 16 times their text as a
    // tree, one text node of that size hardly more.
    constexpr int kElements = 50000;
    std::string elements = "<r>";
    for (int i = 0; i < kElements; ++i) elements += "<a/>";
    elements += "</r>";
    const std::string text = "<r>" + std::string(elements.size() - 7, 't') + "</r>";
    ASSERT_EQ(text.size(), elements.size());
    WriteFile("elements.xml", elements);
    WriteFile("text.xml", text);

    SetBudgetBaseForTesting(0);
    IXMLDOMDocumentPtr document(CLSID_DOMDocument);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    EXPECT_EQ(document->load(Text("elements.xml"), &loaded), S_FALSE);
    EXPECT_EQ(loaded, VARIANT_FALSE);
    EXPECT_EQ(ParseReason(document), "The memory budget of 3.1 MiB for the XML work (0 bytes plus 16 times the "
                                     "195.3 KiB of the files loaded) is exceeded");
    IXMLDOMParseErrorPtr error;
    ASSERT_EQ(document->get_parseError(&error), S_OK);
    long code = 0;
    EXPECT_EQ(error->get_errorCode(&code), S_OK);
    EXPECT_EQ(code, E_OUTOFMEMORY);

    // A failed load holds nothing, so its file's share goes again.
    EXPECT_EQ(MemoryBudget(), 0u);
    EXPECT_EQ(document->load(Text("text.xml"), &loaded), S_OK) << ParseReason(document);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    EXPECT_EQ(MemoryBudget(), 16 * text.size());
    {
        IXMLDOMDocumentPtr second = Load("text.xml");
        EXPECT_EQ(MemoryBudget(), 2 * 16 * text.size());
    }
    EXPECT_EQ(MemoryBudget(), 16 * text.size());

    // Text given to loadXML is no file and brings no share; the text.xml tree goes with the
    // new load.
    EXPECT_EQ(document->loadXML(_bstr_t("<small/>"), &loaded), S_FALSE);
    EXPECT_EQ(MemoryBudget(), 0u);
    SetBudgetBaseForTesting(kMiB);
    EXPECT_EQ(document->loadXML(_bstr_t("<small/>"), &loaded), S_OK);
}

TEST_F(LimitsTest, EveryCountedByteIsGivenBack) {
    WriteFile("in.xml", "<catalog><book><price>30</price></book><book><price>40</price></book></catalog>");
    WriteFile("list.xsl", Stylesheet("<xsl:template match=\"/\"><xsl:for-each select=\"//price\">"
                                     "<p><xsl:value-of select=\"concat(., '!')\"/></p></xsl:for-each></xsl:template>"));
    const auto run = [this] { return Transform("list.xsl", "in.xml"); };
    // The first run may leave the libraries' lazily made tables behind.
    ASSERT_EQ(run(), "<?xml version=\"1.0\"?>\n<p>30!</p><p>40!</p>\n");
    const std::uint64_t before = MemoryInUse();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(run(), "<?xml version=\"1.0\"?>\n<p>30!</p><p>40!</p>\n");
    EXPECT_EQ(MemoryInUse(), before);
}

TEST_F(LimitsTest, LargeAndSmallTreesAreGivenBackWhenTheirDocumentsGo) {
    // A tree of a megabyte or more, freed as the small one is.
    std::string large = "<catalog>";
    while (large.size() < 3 * kMiB / 2) large += "<book><title>t</title><price>30</price></book>";
    large += "</catalog>";
    WriteFile("large.xml", large);
    WriteFile("small.xml", "<catalog/>");
    SetBudgetBaseForTesting(xmlservice::kBudgetBase);
    Load("small.xml");
    const std::uint64_t before = MemoryInUse();
    for (const char* name : {"large.xml", "small.xml"}) {
        SCOPED_TRACE(name);
        {
            IXMLDOMDocumentPtr document = Load(name);
            EXPECT_GT(MemoryInUse(), before);
        }
        EXPECT_EQ(MemoryInUse(), before);
        // And again when a new load replaces the tree.
        IXMLDOMDocumentPtr document = Load(name);
        VARIANT_BOOL loaded = VARIANT_FALSE;
        EXPECT_EQ(document->loadXML(_bstr_t("<r/>"), &loaded), S_OK);
        document = nullptr;
        EXPECT_EQ(MemoryInUse(), before);
    }
}

// The process's resident memory, from /proc.
std::uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

TEST_F(LimitsTest, AReleasedLargeDocumentGivesItsMemoryBackToTheSystem) {
    // A sanitizer's allocator keeps freed memory in quarantine on purpose.
    if (!xmlservice::heap::FromMimalloc()) GTEST_SKIP() << "the blocks come from the sanitizer's allocator";
    std::string large = "<catalog>";
    large.reserve(40 * kMiB);
    for (int i = 0; large.size() < 40 * kMiB; ++i)
        large += "<book id=\"b" + std::to_string(i) + "\"><title>t</title><price>30</price></book>";
    large += "</catalog>";
    WriteFile("large.xml", large);
    large = std::string();
    SetBudgetBaseForTesting(xmlservice::kBudgetBase);
    Load("large.xml");
    const std::uint64_t before = ResidentBytes();
    std::uint64_t loaded = 0;
    {
        IXMLDOMDocumentPtr document = Load("large.xml");
        loaded = ResidentBytes();
    }
    const std::uint64_t after = ResidentBytes();
    // The tree takes hundreds of megabytes; all but a little of it goes back.
    EXPECT_GT(loaded, before + 200 * kMiB);
    EXPECT_LT(after, before + 64 * kMiB) << "before " << before / kMiB << " MiB, loaded " << loaded / kMiB
                                         << " MiB, after " << after / kMiB << " MiB";
}

// Just under libxslt's depth limit (which counts templates and the instructions nested in
// them alike, so 1498 levels of call-template inside xsl:if here), each level nesting 240
// literal elements: a result tree 360 000 deep. Copying it recurses once per element, which
// takes between 32 and 64 MiB of stack.
constexpr int kLevels = 1498;
constexpr int kNested = 240;

std::string DeepStylesheet() {
    std::string open, close;
    for (int i = 0; i < kNested; ++i) {
        open += "<e>";
        close += "</e>";
    }
    return Stylesheet("<xsl:template match=\"/\"><xsl:variable name=\"t\"><xsl:call-template name=\"down\">"
                      "<xsl:with-param name=\"n\" select=\"" + std::to_string(kLevels) + "\"/></xsl:call-template>"
                      "</xsl:variable><r><xsl:copy-of select=\"$t\"/></r></xsl:template>"
                      "<xsl:template name=\"down\"><xsl:param name=\"n\"/><xsl:if test=\"$n &gt; 0\">" + open +
                      "<xsl:call-template name=\"down\"><xsl:with-param name=\"n\" select=\"$n - 1\"/>"
                      "</xsl:call-template>" + close + "</xsl:if></xsl:template>"
                      "<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/>");
}

TEST_F(LimitsTest, RecursionJustUnderTheDepthLimitRunsOnTheLargeStack) {
    SetBudgetBaseForTesting(xmlservice::kBudgetBase);
    WriteFile("in.xml", "<in/>");
    WriteFile("deep.xsl", DeepStylesheet());
    const std::string output = Transform("deep.xsl", "in.xml");
    EXPECT_EQ(Occurrences(output, "<e>") + Occurrences(output, "<e/>"), std::size_t{kLevels} * kNested);

    // One level more and libxslt's own limit ends it cleanly.
    std::string deeper = DeepStylesheet();
    deeper.replace(deeper.find(std::to_string(kLevels)), 4, std::to_string(kLevels + 1));
    WriteFile("deeper.xsl", deeper);
    const FailedTransform failed = TransformFailing("deeper.xsl", "in.xml");
    EXPECT_EQ(failed.code, xmlservice::E_TRANSFORM_FAILED);
    EXPECT_NE(failed.description.find("A potential infinite template recursion was detected"), std::string::npos)
        << failed.description;
}

void* TransformDirectly(void* stylesheetText) {
    const auto* text = static_cast<const std::string*>(stylesheetText);
    xmlservice::DocumentHandle tree(
        xmlReadMemory(text->data(), static_cast<int>(text->size()), "deep.xsl", nullptr, 0));
    const xmlservice::StylesheetHandle stylesheet(tree ? xsltParseStylesheetDoc(tree.get()) : nullptr);
    if (stylesheet) (void)tree.release();  // the stylesheet owns its tree now
    const xmlservice::DocumentHandle input(xmlReadMemory("<in/>", 5, "in.xml", nullptr, 0));
    const xmlservice::DocumentHandle result(xsltApplyStylesheet(stylesheet.get(), input.get(), nullptr));
    return nullptr;
}

// Shows that the case above needs the large stack: straight through libxslt, on a thread with
// the usual 8 MiB, it overflows.
TEST(LimitsDeathTest, TheDeepRecursionOverflowsAnOrdinaryStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string stylesheet = DeepStylesheet();
    const auto transformOnAnOrdinaryStack = [&stylesheet] {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 8 * kMiB);
        pthread_t thread;
        if (pthread_create(&thread, &attributes, TransformDirectly, const_cast<std::string*>(&stylesheet)) == 0)
            pthread_join(thread, nullptr);
        std::exit(0);
    };
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_DEATH(transformOnAnOrdinaryStack(), "stack-overflow");
#else
    EXPECT_EXIT(transformOnAnOrdinaryStack(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

// A call that takes `levels` frames of 64 KiB each, noting the lowest stack address it reached
// and the thread it ran on.
struct DeepCall {
    int levels = 0;
    std::uintptr_t lowest = 0;
    pthread_t thread{};
};

[[gnu::noinline]] void Descend(DeepCall& call, int level) {
    volatile char frame[64 * 1024];
    frame[0] = static_cast<char>(level);
    frame[sizeof frame - 1] = frame[0];
    call.lowest = reinterpret_cast<std::uintptr_t>(&frame[0]);
    if (level + 1 < call.levels) Descend(call, level + 1);
    // Used after the inner call, so the frame stays on the stack during it.
    frame[1] = frame[sizeof frame - 1];
}

HRESULT RunDeepCall(void* opaque) {
    auto* call = static_cast<DeepCall*>(opaque);
    call->thread = pthread_self();
    Descend(*call, 0);
    return S_OK;
}

// A call on the large stack that makes another one, noting where each ran.
struct NestedCall {
    std::uintptr_t outer = 0;
    std::uintptr_t inner = 0;
    HRESULT innerResult = E_FAIL;
};

HRESULT NoteInner(void* opaque) {
    const char here = 0;
    static_cast<NestedCall*>(opaque)->inner = reinterpret_cast<std::uintptr_t>(&here);
    return S_OK;
}

HRESULT RunNestedCall(void* opaque) {
    auto* call = static_cast<NestedCall*>(opaque);
    const char here = 0;
    call->outer = reinterpret_cast<std::uintptr_t>(&here);
    call->innerResult = xmlservice::RunOnLargeStack(NoteInner, call);
    return E_NOTIMPL;
}

std::uintptr_t Distance(std::uintptr_t a, std::uintptr_t b) { return a > b ? a - b : b - a; }

TEST(LargeStack, CallsRunOnTheCallersThreadShareOneStackAndADeepCallsPagesAreGivenBack) {
    const char here = 0;
    const auto callerStack = reinterpret_cast<std::uintptr_t>(&here);
    DeepCall deep{1024};
    ASSERT_EQ(xmlservice::RunOnLargeStack(RunDeepCall, &deep), S_OK);
    EXPECT_NE(pthread_equal(deep.thread, pthread_self()), 0);
    // 64 MiB deep, far beyond the caller's own stack.
    EXPECT_GT(Distance(deep.lowest, callerStack), std::uintptr_t{64} * kMiB);
    // 48 of the 64 MiB the call used, from its deepest frame up: none of it stays resident.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = (deep.lowest + page - 1) / page * page;
    const std::size_t length = 48 * kMiB;
    std::vector<unsigned char> resident(length / page);
    if (mincore(reinterpret_cast<void*>(start), length, resident.data()) == 0)
        EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) != 0; }), 0);
    else
        EXPECT_EQ(errno, ENOMEM) << "unmapped altogether is given back too";

    DeepCall shallow{1};
    ASSERT_EQ(xmlservice::RunOnLargeStack(RunDeepCall, &shallow), S_OK);
    EXPECT_NE(pthread_equal(shallow.thread, pthread_self()), 0);
    // The deep call's stack: above its deepest frame, within the 64 MiB that call took.
    EXPECT_LT(Distance(shallow.lowest, deep.lowest), std::uintptr_t{65} * kMiB);
    EXPECT_GT(shallow.lowest, deep.lowest);
    // A shallow call's few pages stay for the next call, which would take a fault for each.
    unsigned char frameResident = 0;
    ASSERT_EQ(mincore(reinterpret_cast<void*>(shallow.lowest / page * page), page, &frameResident), 0);
    EXPECT_EQ(frameResident & 1, 1);
}

TEST(LargeStack, ACallFromACallOnTheLargeStackGetsAStackOfItsOwnAndBothResultsComeBack) {
    NestedCall call;
    EXPECT_EQ(xmlservice::RunOnLargeStack(RunNestedCall, &call), E_NOTIMPL);
    EXPECT_EQ(call.innerResult, S_OK);
    ASSERT_NE(call.outer, 0u);
    ASSERT_NE(call.inner, 0u);
    // Not below the outer call's frame on its stack, but on another mapping altogether.
    EXPECT_GT(Distance(call.outer, call.inner), std::uintptr_t{256} * kMiB);
}

// Two threads call at once, twice each. Each call first meets the other thread's call, so that
// both are on a large stack together; the first call of each leaves its frames 512 KiB deep,
// which a call may leave resident. A thread whose second call runs on the stack of its first
// finds those pages still resident; a stack mapped afresh (or the other thread's) has none there.
struct ConcurrentCall {
    std::barrier<>* meeting = nullptr;
    std::uintptr_t deepest = 0;
    bool deepPagesResident = false;
};

HRESULT RunConcurrentCall(void* opaque) {
    auto* call = static_cast<ConcurrentCall*>(opaque);
    call->meeting->arrive_and_wait();
    if (call->deepest == 0) {
        DeepCall deep{8};
        Descend(deep, 0);
        call->deepest = deep.lowest;
    } else {
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        unsigned char resident = 0;
        call->deepPagesResident =
            mincore(reinterpret_cast<void*>(call->deepest / page * page), page, &resident) == 0 && (resident & 1) != 0;
    }
    call->meeting->arrive_and_wait();
    return S_OK;
}

TEST(LargeStack, ThreadsCallingAtOnceEachKeepAStackOfTheirOwn) {
    std::barrier<> meeting(2);
    ConcurrentCall calls[2];
    HRESULT results[2][2] = {{E_FAIL, E_FAIL}, {E_FAIL, E_FAIL}};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            calls[t].meeting = &meeting;
            for (HRESULT& result : results[t]) result = xmlservice::RunOnLargeStack(RunConcurrentCall, &calls[t]);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(results[t][0], S_OK);
        EXPECT_EQ(results[t][1], S_OK);
        EXPECT_TRUE(calls[t].deepPagesResident);
    }
    EXPECT_GT(Distance(calls[0].deepest, calls[1].deepest), std::uintptr_t{256} * kMiB);
}

}  // namespace
