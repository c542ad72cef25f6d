// End-to-end cases: the built programs run in a directory of their own on fixture inputs, and the
// console, the run log and the output files are compared byte for byte with the case's expected
// files. A case is a folder under cases/: Input/ (unless it borrows one), optionally Output/ with
// what the Output folder holds before the run, and expected/ with the console bytes in
// expected/console and the Output folder's files after the run in expected/Output/ (no
// expected/Output: the folder must not exist afterwards). Every run reads its key from a standard
// input at end of file.
//
// With BRENDLE_UPDATE_GOLDEN=1 in the environment the cases rewrite their expected/ folders from
// what the runs did instead of comparing, and are reported as skipped; the diff is for review.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

// How the Output folder is prepared before the first run, on top of the case's own Output/.
enum class OutputFolder {
    kPresent,
    kMissing,
    // The first program's output file is a directory, so it cannot be opened for writing.
    kOutputFileIsDirectory,
    // The first program's output file is a link to /dev/full: it opens, but takes no bytes.
    kOutputFileIsFull,
};

struct GoldenCase {
    // The folder under cases/, and the test's name.
    const char* name;
    // Run one after the other in the same directory.
    std::vector<const char*> programs;
    // The exit status each run ends with, as a parent sees it.
    int status;
    OutputFolder output = OutputFolder::kPresent;
    // An Input folder taken from elsewhere in the source tree instead of the case's own.
    const char* input = nullptr;
};

const GoldenCase kCases[] = {
    {"demo", {"Brendle4"}, 0, OutputFolder::kPresent, "demo/Input"},
    {"brendle2_complete", {"Brendle2"}, 0, OutputFolder::kPresent, "demo/Input"},
    {"two_runs_append_to_one_log", {"Brendle4", "Brendle2"}, 0, OutputFolder::kPresent, "demo/Input"},
    {"no_output_folder", {"Brendle4"}, 255, OutputFolder::kMissing, "demo/Input"},
    {"output_file_cannot_be_opened", {"Brendle4"}, 255, OutputFolder::kOutputFileIsDirectory, "demo/Input"},
    {"output_file_cannot_be_written", {"Brendle4"}, 255, OutputFolder::kOutputFileIsFull, "demo/Input"},
    {"missing_input", {"Brendle4"}, 255},
    {"malformed_stylesheet_document", {"Brendle2"}, 255},
    {"stylesheet_does_not_compile", {"Brendle4"}, 255},
    {"transformation_fails", {"Brendle4"}, 255},
    {"empty_result", {"Brendle4"}, 0},
    {"long_result", {"Brendle4"}, 0},
    {"percent_sequences", {"Brendle4"}, 0},
    {"result_with_crlf", {"Brendle4"}, 0},
    {"utf16_result", {"Brendle4"}, 0},
};

fs::path ProgramPath(const std::string& name) {
    if (name == "Brendle4") return BRENDLE4_PROGRAM;
    if (name == "Brendle2") return BRENDLE2_PROGRAM;
    throw std::invalid_argument("no program " + name);
}

// The regular files in `folder` by name, with their bytes.
std::map<std::string, std::string> FilesIn(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        if (auto bytes = ReadBytes(entry.path())) files.emplace(entry.path().filename().string(), *bytes);
    return files;
}

// Escapes the line ends so that a mismatch shows where they differ.
std::string Visible(const std::string& bytes) {
    std::string shown;
    for (const char c : bytes) {
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n\n";
        else
            shown += c;
    }
    return shown;
}

// Whether the cases rewrite their expected files instead of comparing with them.
bool UpdatingExpectations() {
    const char* update = std::getenv("BRENDLE_UPDATE_GOLDEN");
    return update != nullptr && std::string_view(update) == "1";
}

// Makes `expected` (a case's expected/ folder) hold `console` and the regular files of `output`,
// and nothing else; no expected/Output when there is no `output` folder.
void RewriteExpectations(const fs::path& expected, const std::string& console, const fs::path& output) {
    WriteFile(expected / "console", console);
    fs::remove_all(expected / "Output");
    if (!fs::exists(output)) return;
    for (const auto& [name, bytes] : FilesIn(output)) WriteFile(expected / "Output" / name, bytes);
}

// Names the case in test reports.
void PrintTo(const GoldenCase& c, std::ostream* out) { *out << c.name; }

class GoldenTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenTest, MatchesExpectedFiles) {
    const GoldenCase& golden = GetParam();
    const fs::path caseFolder = fs::path(CASES_DIR) / golden.name;
    const TemporaryDirectory work;

    CopyFolder(golden.input != nullptr ? fs::path(SOURCE_DIR) / golden.input : caseFolder / "Input",
               work.path() / "Input");
    const fs::path output = work.path() / "Output";
    if (golden.output != OutputFolder::kMissing) {
        fs::create_directory(output);
        if (fs::exists(caseFolder / "Output")) CopyFolder(caseFolder / "Output", output);
    }
    const std::string firstOutputFile = std::string(golden.programs.front()) + ".htm";
    if (golden.output == OutputFolder::kOutputFileIsDirectory) fs::create_directory(output / firstOutputFile);
    if (golden.output == OutputFolder::kOutputFileIsFull) fs::create_symlink("/dev/full", output / firstOutputFile);

    std::string console;
    for (const char* program : golden.programs) {
        const ChildOutcome outcome = RunProgram(ProgramPath(program), work.path());
        EXPECT_EQ(outcome.status, golden.status) << program << " wrote to stderr:\n" << outcome.errors;
        console += outcome.console;
    }

    if (UpdatingExpectations()) {
        RewriteExpectations(caseFolder / "expected", console, output);
        GTEST_SKIP() << "rewrote " << (caseFolder / "expected").string();
    }

    const std::string expectedConsole = ReadBytes(caseFolder / "expected" / "console").value();
    EXPECT_TRUE(console == expectedConsole)
        << "console:\n" << Visible(console) << "expected:\n" << Visible(expectedConsole);

    const fs::path expectedOutput = caseFolder / "expected" / "Output";
    if (!fs::exists(expectedOutput)) {
        EXPECT_FALSE(fs::exists(output)) << "the run left an Output folder";
        return;
    }
    const auto actualFiles = FilesIn(output);
    const auto expectedFiles = FilesIn(expectedOutput);
    for (const auto& [name, bytes] : expectedFiles) {
        const auto actual = actualFiles.find(name);
        if (actual == actualFiles.end()) {
            ADD_FAILURE() << "Output/" << name << " is missing";
            continue;
        }
        EXPECT_TRUE(actual->second == bytes)
            << "Output/" << name << ":\n" << Visible(actual->second) << "expected:\n" << Visible(bytes);
    }
    for (const auto& [name, bytes] : actualFiles)
        EXPECT_TRUE(expectedFiles.contains(name)) << "unexpected Output/" << name << ":\n" << Visible(bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GoldenCase>& test) { return std::string(test.param.name); });

}  // namespace
