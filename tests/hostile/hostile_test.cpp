// Runs the built Brendle4 once per folder under cases/, against input that is broken, huge or
// written to attack, and checks that the run ends by itself, within its bounds, confined to
// Output/, off the network and without leaking a secret file that sits beside it.

#include "case_folder.h"
#include "confined_run.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace hostile;

namespace {

// Cases that cannot hold yet, each with the reason. They are skipped, not weakened. With
// HOSTILE_RUN_EXPECTED_FAILURES=1 in the environment they run and are measured anyway, and one
// that holds by now fails, so that its entry gets removed.
const std::map<std::string, std::string> kExpectedToFail = {};

constexpr double kTimeScale = HOSTILE_TIME_SCALE;
constexpr double kMemoryScale = HOSTILE_MEMORY_SCALE;

// The wall time after which a run counts as hung. Generous: on a machine busy with other work a
// run takes several times its processor time, and only a run that waits without using the
// processor gets near this.
double WallClockSafetyNet(double cpuSeconds) { return 60 + 4 * cpuSeconds; }

// The file's bytes; nothing for a file the run did not write.
std::string ReadFile(const fs::path& file) { return ReadBytes(file).value_or(""); }

std::string RandomToken() {
    std::random_device device;
    std::string token;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) token += digits[device() % 16];
    return token;
}

// The token as it would appear in a UTF-16 text, in either byte order.
std::string Utf16(const std::string& ascii, bool bigEndian) {
    std::string wide;
    for (char c : ascii) {
        if (bigEndian) wide += '\0';
        wide += c;
        if (!bigEndian) wide += '\0';
    }
    return wide;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Leaks(const std::string& text, const std::string& token) {
    return Contains(text, token) || Contains(text, Utf16(token, false)) || Contains(text, Utf16(token, true));
}

// The last line of the run log that is not empty, without its line end.
std::string LastLogLine(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines.empty() ? std::string() : lines.back();
}

std::string Shorten(std::string text) {
    if (text.size() > 480) text = text.substr(0, 480) + "...";
    return text;
}

// One scratch tree per case, removed afterwards:
//   <root>/console/          the run's stdout and stderr
//   <root>/sandbox/          @SANDBOX@: secret.txt, secret.xsl, sentinel/, work/
//   <root>/sandbox/work/     the working directory: Input/, Output/, and a second secret pair
class Scratch {
public:
    // Without symbolic links, as the service names the files it refuses.
    const fs::path& Root() const { return root_; }
    fs::path Console() const { return Root() / "console"; }
    fs::path Sandbox() const { return Root() / "sandbox"; }
    fs::path Work() const { return Sandbox() / "work"; }
    fs::path Input() const { return Work() / "Input"; }
    fs::path Output() const { return Work() / "Output"; }

private:
    TemporaryDirectory temporary_{"hostile"};
    fs::path root_ = fs::canonical(temporary_.path());
};

// The secret in the two forms an attack can use: a document and a stylesheet, each of which
// shows the token if anything reads it and passes it on.
void WriteSecrets(const fs::path& dir, const std::string& token) {
    WriteFile(dir / "secret.txt", "<secret>" + token + "</secret>\n");
    WriteFile(dir / "secret.xsl",
              "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
              "  <xsl:template name=\"secret\">" + token + "</xsl:template>\n"
              "</xsl:stylesheet>\n");
}

std::string Describe(const std::set<std::string>& paths) {
    std::string text;
    for (const auto& path : paths) text += "\n  " + path;
    return text;
}

// Alternatives as the expect file writes them.
std::string Describe(const std::vector<std::string>& alternatives) {
    std::string text;
    for (const auto& alternative : alternatives) text += (text.empty() ? "" : " || ") + alternative;
    return text;
}

class HostileInput : public ::testing::TestWithParam<std::string> {};

TEST_P(HostileInput, EndsConfinedAndBounded) {
    const std::string name = GetParam();
    const auto expectedFailure = kExpectedToFail.find(name);
    const char* runExpectedFailures = std::getenv("HOSTILE_RUN_EXPECTED_FAILURES");
    const bool runAnyway = runExpectedFailures != nullptr && std::string(runExpectedFailures) == "1";
    if (expectedFailure != kExpectedToFail.end() && !runAnyway)
        GTEST_SKIP() << "expected to fail: " << expectedFailure->second;

    const fs::path caseDir = fs::path(HOSTILE_CASES_DIR) / name;
    const Expectation expect = ReadExpectation(caseDir / "expect");

    Scratch scratch;
    const std::string token = RandomToken();
    LoopbackListener listener;
    const std::string port = std::to_string(listener.Port());
    const Substitutions substitutions = {
        {"@PORT@", port},
        {"@SANDBOX@", scratch.Sandbox().string()},
        {"@SECRET_PATH@", (scratch.Sandbox() / "secret.txt").string()},
        {"@SECRET_XSL_PATH@", (scratch.Sandbox() / "secret.xsl").string()},
    };

    fs::create_directories(scratch.Console());
    fs::create_directories(scratch.Sandbox() / "sentinel");
    fs::create_directories(scratch.Input());
    fs::create_directories(scratch.Output());
    WriteFile(scratch.Sandbox() / "sentinel" / "untouched.txt", "must stay as it is\n");
    // Beside the working directory (../ from there) and beside Input/ (../ from the documents).
    WriteSecrets(scratch.Sandbox(), token);
    WriteSecrets(scratch.Work(), token);
    // A case's own Input/ files replace the defaults of the same name.
    CopyFixture(HOSTILE_DEFAULT_INPUT_DIR, scratch.Input(), substitutions);
    CopyFixture(caseDir / "Input", scratch.Input(), substitutions);
    // Files beside the working directory, where the secrets are, for links to point at.
    CopyFixture(caseDir / "Sandbox", scratch.Sandbox(), substitutions);
    for (const auto& request : expect.generate) Generate(request, scratch.Input());
    for (const auto& request : expect.entries) MakeEntry(request, scratch.Input(), substitutions);

    const std::vector<fs::path> unwatched = {scratch.Console(), scratch.Output()};
    const Snapshot before = TakeSnapshot(scratch.Root(), unwatched);
    OpenWatch secretsOpened({scratch.Sandbox() / "secret.txt", scratch.Sandbox() / "secret.xsl",
                             scratch.Work() / "secret.txt", scratch.Work() / "secret.xsl"});

    const double cpuSeconds = expect.cpuSeconds * kTimeScale;
    const RunLimits limits{cpuSeconds, WallClockSafetyNet(cpuSeconds), expect.memoryMib * kMemoryScale};
    const RunOutcome run = RunConfined(HOSTILE_PROGRAM, scratch.Work(), scratch.Console() / "stdout",
                                       scratch.Console() / "stderr", limits, listener);

    const std::string console = ReadFile(scratch.Console() / "stdout");
    const std::string errors = ReadFile(scratch.Console() / "stderr");
    const std::string log = ReadFile(scratch.Output() / "debug.txt");
    const std::string output = ReadFile(scratch.Output() / "Brendle4.htm");
    const std::string lastLogLine = LastLogLine(log);

    std::printf("[ measured ] %s: %s, %.2f s processor time, %.2f s wall time, %.1f MiB peak; last log line: %s\n",
                name.c_str(),
                run.exited ? ("exit " + std::to_string(run.exitStatus)).c_str()
                           : ("signal " + std::to_string(run.signal)).c_str(),
                run.cpuSeconds, run.seconds, run.peakMib, Shorten(lastLogLine).c_str());
    RecordProperty("cpu_seconds", std::to_string(run.cpuSeconds));
    RecordProperty("seconds", std::to_string(run.seconds));
    RecordProperty("peak_mib", std::to_string(run.peakMib));

    // Ends by itself, with the expected status.
    EXPECT_FALSE(run.cpuKilled) << "used " << limits.cpuSeconds << " s of processor time; stopped";
    EXPECT_FALSE(run.timedOut) << "still running after " << limits.wallSeconds << " s of wall time; killed";
    EXPECT_FALSE(run.memoryKilled) << "resident size passed " << limits.memoryMib << " MiB; killed";
    EXPECT_TRUE(run.exited || run.cpuKilled || run.timedOut || run.memoryKilled)
        << "died by signal " << run.signal << " (" << strsignal(run.signal) << ")";
    if (run.exited) {
        const bool allowed = std::find(expect.exitStatuses.begin(), expect.exitStatuses.end(), run.exitStatus) !=
                             expect.exitStatuses.end();
        EXPECT_TRUE(allowed) << "exit status " << run.exitStatus << "; console: " << Shorten(console);
    }
    EXPECT_FALSE(run.strayProcesses) << "left a process running behind it";

    // Within its bounds.
    EXPECT_LE(run.cpuSeconds, limits.cpuSeconds) << "over the processor-time bound";
    EXPECT_LE(run.peakMib, limits.memoryMib) << "over the memory bound";

    // Says what happened, in the log and on the console alike.
    for (const auto& mention : expect.logMentions) {
        std::vector<std::string> alternatives;
        for (const auto& alternative : mention) alternatives.push_back(Substitute(alternative, substitutions));
        const auto mentions = [&alternatives](const std::string& text) {
            return std::any_of(alternatives.begin(), alternatives.end(),
                               [&text](const std::string& alternative) { return Contains(text, alternative); });
        };
        EXPECT_TRUE(mentions(lastLogLine))
            << "expected \"" << Describe(alternatives) << "\" in the last log line: " << Shorten(lastLogLine);
        EXPECT_TRUE(mentions(console)) << "expected \"" << Describe(alternatives) << "\" on the console: " << Shorten(console);
    }
    for (const auto& expected : expect.outputContains) {
        const std::string text = Substitute(expected, substitutions);
        EXPECT_TRUE(Contains(output, text)) << "expected \"" << text << "\" in the output file: " << Shorten(output);
    }
    // The console carries the result text, error lines and the prompt; nothing goes to stderr.
    EXPECT_EQ(errors, "") << "stderr: " << Shorten(errors);

    // Never opens a secret, whether or not anything of it would show.
    const std::vector<fs::path> opened = secretsOpened.Opened();
    EXPECT_TRUE(opened.empty()) << "opened " << testing::PrintToString(opened);

    // Off the network.
    EXPECT_EQ(listener.Connections(), 0) << "connected to the loopback listener at port " << port;

    // Confined: outside Output/ nothing is created, changed or removed, and Output/ holds only
    // the run log and the output file.
    const Snapshot after = TakeSnapshot(scratch.Root(), unwatched);
    std::set<std::string> created, changed, removed;
    for (const auto& [path, description] : after) {
        const auto earlier = before.find(path);
        if (earlier == before.end()) {
            created.insert(path);
        } else if (earlier->second != description) {
            changed.insert(path);
        }
    }
    for (const auto& [path, description] : before)
        if (after.find(path) == after.end()) removed.insert(path);
    EXPECT_TRUE(created.empty()) << "created:" << Describe(created);
    EXPECT_TRUE(changed.empty()) << "changed:" << Describe(changed);
    EXPECT_TRUE(removed.empty()) << "removed:" << Describe(removed);
    std::set<std::string> extra;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.Output())) {
        const std::string path = fs::relative(entry.path(), scratch.Output()).string();
        if (path != "debug.txt" && path != "Brendle4.htm") extra.insert(path);
    }
    EXPECT_TRUE(extra.empty()) << "unexpected in Output/:" << Describe(extra);

    // The secret stays where it is.
    EXPECT_FALSE(Leaks(console, token)) << "the secret reached the console";
    EXPECT_FALSE(Leaks(errors, token)) << "the secret reached stderr";
    for (const auto& entry : fs::recursive_directory_iterator(scratch.Output())) {
        if (!entry.is_regular_file()) continue;
        EXPECT_FALSE(Leaks(ReadFile(entry.path()), token)) << "the secret reached " << entry.path();
    }

    if (expectedFailure != kExpectedToFail.end() && !HasFailure())
        ADD_FAILURE() << name << " holds now: remove it from kExpectedToFail";
}

std::string CaseTestName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(ListCases(HOSTILE_CASES_DIR)), CaseTestName);

}  // namespace
