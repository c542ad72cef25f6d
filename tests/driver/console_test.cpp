// The console is a best effort: whatever the standard output does (a pipe whose reader is gone
// or leaves early, no standard output at all), the built program runs to its own end. It is
// not killed, its exit status is the one the run decides, and the run log and the output file
// hold byte for byte what a run with an ordinary standard output writes.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// A catalogue whose every book is under the price limit: with the demo's stylesheet a result of
// some 3.5 MB, far more than a pipe holds.
std::string LargeCatalogue() {
    std::string catalogue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalogue>\n";
    for (int i = 0; i < 40000; ++i) {
        const std::string number = std::to_string(i);
        catalogue += "<book id=\"b" + number + "\"><title>Title " + number + "</title><author>Author " + number +
                     "</author><year>2000</year><price>" + std::to_string(5 + i % 29) + ".50</price></book>\n";
    }
    return catalogue + "</catalogue>\n";
}

// A run of Brendle4 as the console cases vary it.
struct RunKind {
    const char* name;
    // Fills the Input folder.
    std::function<void(const fs::path& input)> prepare;
    int status;
    // The least size of the output file, so that a large result is large indeed.
    std::uintmax_t leastOutputSize = 0;
};

const RunKind kRuns[] = {
    {"demo", [](const fs::path& input) { CopyFolder(fs::path(SOURCE_DIR) / "demo" / "Input", input); }, 0},
    {"large_result",
     [](const fs::path& input) {
         CopyFolder(fs::path(SOURCE_DIR) / "demo" / "Input", input);
         WriteFile(input / "books.xml", LargeCatalogue());
     },
     0, 3 << 20},
    // Ends through exit() inside the style-sheet stage.
    {"stylesheet_does_not_compile",
     [](const fs::path& input) { CopyFolder(fs::path(CASES_DIR) / "stylesheet_does_not_compile" / "Input", input); },
     255},
    // Ends by returning from the run after a platform call failed.
    {"transformation_fails",
     [](const fs::path& input) { CopyFolder(fs::path(CASES_DIR) / "transformation_fails" / "Input", input); }, 255},
};

struct ConsoleCase {
    const char* name;
    ConsoleKind kind;
};

const ConsoleCase kConsoles[] = {
    {"pipe_without_reader", ConsoleKind::kPipeWithoutReader},
    {"pipe_closed_early", ConsoleKind::kPipeClosedEarly},
    {"closed", ConsoleKind::kClosed},
    {"all_standard_descriptors_closed", ConsoleKind::kAllStandardDescriptorsClosed},
};

// A working directory with the run's Input and an empty Output.
void PrepareWorkingDirectory(const RunKind& run, const fs::path& directory) {
    run.prepare(directory / "Input");
    fs::create_directory(directory / "Output");
}

// Where two files first differ, without printing megabytes; empty when they are equal.
std::string Difference(const std::optional<std::string>& actual, const std::optional<std::string>& expected) {
    if (actual == expected) return {};
    if (!actual || !expected) return actual ? "the file should not exist" : "the file is missing";
    const auto mismatch = std::mismatch(actual->begin(), actual->end(), expected->begin(), expected->end());
    const auto at = static_cast<std::size_t>(mismatch.first - actual->begin());
    return std::to_string(actual->size()) + " bytes instead of " + std::to_string(expected->size()) +
           ", first difference at byte " + std::to_string(at) + ": \"" + actual->substr(at, 60) +
           "\" instead of \"" + expected->substr(at, 60) + "\"";
}

// Name the cases in test reports.
void PrintTo(const RunKind& run, std::ostream* out) { *out << run.name; }
void PrintTo(const ConsoleCase& console, std::ostream* out) { *out << console.name; }

using ConsoleParameter = std::tuple<RunKind, ConsoleCase>;

class ConsoleTest : public testing::TestWithParam<ConsoleParameter> {};

TEST_P(ConsoleTest, RunEndsAsWithAnOrdinaryConsole) {
    const auto& [run, console] = GetParam();
    const TemporaryDirectory reference;
    const TemporaryDirectory work;
    PrepareWorkingDirectory(run, reference.path());
    PrepareWorkingDirectory(run, work.path());

    const ChildOutcome expected = RunProgram(BRENDLE4_PROGRAM, reference.path());
    ASSERT_EQ(expected.status, run.status) << expected.errors;
    const std::optional<std::string> expectedLog = ReadBytes(reference.path() / "Output" / "debug.txt");
    const std::optional<std::string> expectedOutput = ReadBytes(reference.path() / "Output" / "Brendle4.htm");
    ASSERT_TRUE(expectedLog.has_value());
    ASSERT_GE(expectedOutput.value_or("").size(), run.leastOutputSize);

    const ChildOutcome outcome = RunProgram(BRENDLE4_PROGRAM, work.path(), console.kind);

    EXPECT_EQ(outcome.signal, 0) << "ended by " << strsignal(outcome.signal);
    EXPECT_EQ(outcome.status, run.status) << outcome.errors;
    EXPECT_EQ(outcome.errors, "");
    EXPECT_EQ(Difference(ReadBytes(work.path() / "Output" / "debug.txt"), expectedLog), "") << "Output/debug.txt";
    EXPECT_EQ(Difference(ReadBytes(work.path() / "Output" / "Brendle4.htm"), expectedOutput), "")
        << "Output/Brendle4.htm";
    if (console.kind == ConsoleKind::kPipeClosedEarly) {
        // The early reader got the console's first bytes, as far as there were any.
        EXPECT_EQ(outcome.console, expected.console.substr(0, kEarlyReaderBytes));
    }
}

INSTANTIATE_TEST_SUITE_P(Consoles, ConsoleTest, testing::Combine(testing::ValuesIn(kRuns), testing::ValuesIn(kConsoles)),
                         [](const testing::TestParamInfo<ConsoleParameter>& test) {
                             return std::string(std::get<0>(test.param).name) + "_" + std::get<1>(test.param).name;
                         });

}  // namespace
