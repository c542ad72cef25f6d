// The free-threaded document and the template used from many threads at once: transformations
// read one document in parallel, a load on another thread never frees a tree still being read,
// and a stylesheet whose key() patterns make libxslt mark the source reads it alone.
#include "service_test.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class ConcurrencyTest : public ServiceTest {
protected:
    // One transformation on its own thread, which begins with nothing of the caller's: the bytes
    // written, or why it failed.
    static std::string TransformOnThisThread(IXSLTemplate* compiled, IXMLDOMDocument* input) {
        IXSLProcessorPtr processor;
        if (compiled->createProcessor(&processor) != S_OK) return "<no processor>";
        HRESULT result = S_OK;
        std::string written = Run(processor, input, &result);
        return SUCCEEDED(result) ? written : "<failed: " + TakeErrorDescription() + ">";
    }

    struct Expectation {
        IXSLTemplate* compiled;
        std::string expected;
    };
    struct Tally {
        std::atomic<int> completed{0};
        std::atomic<int> mismatches{0};
    };

    // Adds four threads, two with each expectation, that each transform `shared` until they have
    // `rounds` complete results. A result other than the expected bytes is a mismatch, except
    // the empty document that a transformation finds when it starts while a load is under way,
    // as a load empties it first: that one is tried again a little later, up to a hundred times
    // `rounds` in all, since a slow build may spend most of its time loading.
    static void AddTransformers(std::vector<std::thread>& threads, IXMLDOMDocument* shared,
                                const Expectation (&expectations)[2], int rounds, Tally& tally) {
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&expectations, &tally, shared, rounds, t] {
                const Expectation& expectation = expectations[t % 2];
                for (int done = 0, attempt = 0; done < rounds && attempt < rounds * 100; ++attempt) {
                    const std::string written = TransformOnThisThread(expectation.compiled, shared);
                    if (written == expectation.expected) {
                        ++done;
                        ++tally.completed;
                    } else if (written.find("The input document holds nothing") != std::string::npos) {
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                    } else {
                        ++tally.mismatches;
                    }
                }
            });
    }
};

std::string Catalogue(int books) {
    std::string catalogue = "<catalog>";
    for (int i = 0; i < books; ++i)
        catalogue += "<book id=\"b" + std::to_string(i) + "\"><genre>" + (i % 3 == 0 ? "poetry" : "crime") +
                     "</genre><price>" + std::to_string(i % 50) + "</price></book>";
    return catalogue + "</catalog>";
}

std::string Stylesheet(const std::string& body) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
           "<xsl:output method=\"text\"/><xsl:key name=\"g\" match=\"book\" use=\"genre\"/>" +
           body + "</xsl:stylesheet>";
}

// Groups the books by genre, with the key(...)[1] idiom, generate-id() and a sort.
const std::string kGroupedStylesheet =
    Stylesheet("<xsl:template match=\"/\"><xsl:for-each select=\"//book[generate-id() ="
               " generate-id(key('g', genre)[1])]\"><xsl:sort select=\"genre\"/>"
               "<xsl:value-of select=\"genre\"/>:<xsl:value-of select=\"count(key('g', genre))"
               "\"/>,</xsl:for-each></xsl:template>");

TEST_F(ConcurrencyTest, TransformationsLoadsAndReadsOfOneDocumentRunOnManyThreads) {
    // Two files of the same content, so that every transformation must give the same bytes
    // whichever the document holds when it starts.
    WriteFile("a.xml", Catalogue(2000));
    WriteFile("b.xml", Catalogue(2000));
    WriteFile("grouped.xsl", kGroupedStylesheet);
    // Matching by key() lets libxslt mark the nodes of the source while it runs.
    WriteFile("marked.xsl", Stylesheet("<xsl:template match=\"/\"><xsl:apply-templates select=\"//book\"/>"
                                       "</xsl:template><xsl:template match=\"key('g', 'poetry')\">p</xsl:template>"
                                       "<xsl:template match=\"book\"/>"));
    IXMLDOMDocumentPtr shared = Load("a.xml", CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr grouped = Compile("grouped.xsl");
    IXSLTemplatePtr marked = Compile("marked.xsl");
    const std::string expectedGrouped = TransformOnThisThread(grouped, shared);
    const std::string expectedMarked = TransformOnThisThread(marked, shared);
    ASSERT_EQ(expectedGrouped, "crime:1333,poetry:667,");
    ASSERT_EQ(expectedMarked, std::string(667, 'p'));

    const Expectation expectations[2] = {{grouped, expectedGrouped}, {marked, expectedMarked}};
    Tally tally;
    std::atomic<int>& mismatches = tally.mismatches;
    std::atomic<bool> transforming{true};
    std::vector<std::thread> threads;
    AddTransformers(threads, shared, expectations, 20, tally);
    // Meanwhile the document is loaded again and again, and read.
    std::thread loader([&] {
        int loads = 0;
        while (transforming.load()) {
            VARIANT_BOOL loaded = VARIANT_FALSE;
            if (shared->load(Text(++loads % 2 == 0 ? "a.xml" : "b.xml"), &loaded) != S_OK || loaded != VARIANT_TRUE)
                ++mismatches;
            BSTR xml = nullptr;
            if (shared->get_xml(&xml) != S_OK) ++mismatches;
            SysFreeString(xml);
            IXMLDOMParseErrorPtr parseError;
            if (shared->get_parseError(&parseError) != S_OK) ++mismatches;
            // A moment loaded, so that transformations can start between the loads.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (std::thread& thread : threads) thread.join();
    transforming.store(false);
    loader.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(tally.completed.load(), 0);
}

TEST_F(ConcurrencyTest, ATemplateCompilesOnOneThreadWhileOthersMakeProcessors) {
    WriteFile("in.xml", "<r/>");
    WriteFile("one.xsl", Stylesheet("<xsl:template match=\"/\">one</xsl:template>"));
    WriteFile("two.xsl", Stylesheet("<xsl:template match=\"/\">two</xsl:template>"));
    IXMLDOMDocumentPtr input = Load("in.xml", CLSID_FreeThreadedDOMDocument);
    IXMLDOMDocumentPtr one = Load("one.xsl", CLSID_FreeThreadedDOMDocument);
    IXMLDOMDocumentPtr two = Load("two.xsl", CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr compiled = Compile("one.xsl");
    std::atomic<bool> compiling{true};
    std::atomic<int> unexpected{0};
    std::thread compiler([&] {
        for (int round = 0; round < 40; ++round)
            if (compiled->putref_stylesheet(round % 2 == 0 ? two : one) != S_OK) ++unexpected;
        compiling.store(false);
    });
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&] {
            while (compiling.load()) {
                const std::string written = TransformOnThisThread(compiled, input);
                // A processor keeps the stylesheet it was made from; between two compiles there
                // is none to make one from.
                if (written != "one" && written != "two" && written != "<no processor>") ++unexpected;
            }
        });
    }
    compiler.join();
    for (std::thread& user : users) user.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(TransformOnThisThread(compiled, input), "one");
}

// Threads transform one shared document with two templates while it is loaded again now and
// then; other threads load private documents, transform them and hand them to another thread,
// which releases them. Trees are thus built on one thread and freed on another while the rest
// allocate: every result must come out byte for byte.
TEST_F(ConcurrencyTest, DocumentsReleasedOnAnotherThreadThanTheOneThatBuiltThemLeaveEveryResultIntact) {
    WriteFile("a.xml", Catalogue(1500));
    WriteFile("b.xml", Catalogue(1500));
    WriteFile("private.xml", Catalogue(300));
    WriteFile("grouped.xsl", kGroupedStylesheet);
    WriteFile("listed.xsl", Stylesheet("<xsl:template match=\"/\"><xsl:for-each select=\"//book[price &lt; 3]\">"
                                       "<xsl:value-of select=\"@id\"/>;</xsl:for-each></xsl:template>"));
    IXMLDOMDocumentPtr shared = Load("a.xml", CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr grouped = Compile("grouped.xsl");
    IXSLTemplatePtr listed = Compile("listed.xsl");
    const std::string expectedGrouped = TransformOnThisThread(grouped, shared);
    const std::string expectedListed = TransformOnThisThread(listed, shared);
    ASSERT_EQ(expectedGrouped, "crime:1000,poetry:500,");
    ASSERT_EQ(expectedListed.substr(0, 16), "b0;b1;b2;b50;b51");

    const Expectation expectations[2] = {{grouped, expectedGrouped}, {listed, expectedListed}};
    Tally tally;
    std::atomic<int>& mismatches = tally.mismatches;
    std::atomic<bool> running{true};
    std::mutex handOver;
    std::vector<IXMLDOMDocumentPtr> toRelease;
    std::vector<std::thread> threads;
    AddTransformers(threads, shared, expectations, 12, tally);
    // Private documents: built here, transformed, and released by the releasing thread.
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            if (FAILED(CoInitialize(nullptr))) {
                ++mismatches;
                return;
            }
            for (int round = 0; round < 25; ++round) {
                IXMLDOMDocumentPtr own(CLSID_FreeThreadedDOMDocument);
                VARIANT_BOOL loaded = VARIANT_FALSE;
                if (own->load(Text("private.xml"), &loaded) != S_OK || loaded != VARIANT_TRUE) {
                    ++mismatches;
                    continue;
                }
                if (TransformOnThisThread(grouped, own) != "crime:200,poetry:100,") ++mismatches;
                const std::lock_guard<std::mutex> lock(handOver);
                toRelease.push_back(std::move(own));
            }
            CoUninitialize();
        });
    }
    std::thread releaser([&] {
        for (;;) {
            std::vector<IXMLDOMDocumentPtr> taken;
            {
                const std::lock_guard<std::mutex> lock(handOver);
                taken.swap(toRelease);
            }
            taken.clear();
            if (!running.load()) {
                const std::lock_guard<std::mutex> lock(handOver);
                if (toRelease.empty()) return;
            }
            std::this_thread::yield();
        }
    });
    std::thread loader([&] {
        for (int loads = 0; running.load(); ++loads) {
            VARIANT_BOOL loaded = VARIANT_FALSE;
            if (shared->load(Text(loads % 2 == 0 ? "b.xml" : "a.xml"), &loaded) != S_OK || loaded != VARIANT_TRUE)
                ++mismatches;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (std::thread& thread : threads) thread.join();
    running.store(false);
    releaser.join();
    loader.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(tally.completed.load(), 0);
}

}  // namespace

namespace {

TEST_F(ConcurrencyTest, ScriptsOfOneTemplateRunOnManyThreadsEachTransformationWithItsOwnScope) {
    WriteFile("books.xml", Catalogue(30));
    WriteFile("scripted.xsl",
              "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\""
              " xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" xmlns:user=\"urn:user\"><xsl:output method=\"text\"/>"
              "<msxsl:script implements-prefix=\"user\">var seen = 0;"
              " function count(list) { seen += list.length; return seen; }</msxsl:script>"
              "<xsl:template match=\"/\"><xsl:for-each select=\"//book\"><xsl:value-of select=\"user:count(genre)\"/>,"
              "</xsl:for-each></xsl:template></xsl:stylesheet>");
    IXMLDOMDocumentPtr shared = Load("books.xml", CLSID_FreeThreadedDOMDocument);
    IXSLTemplatePtr scripted = Compile("scripted.xsl");
    std::string expected;
    for (int i = 1; i <= 30; ++i) expected += std::to_string(i) + ",";
    ASSERT_EQ(TransformOnThisThread(scripted, shared), expected);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round)
                if (TransformOnThisThread(scripted, shared) != expected) ++mismatches;
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
