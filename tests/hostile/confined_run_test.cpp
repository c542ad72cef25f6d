// The confinement checks themselves, against small scripts that do what a hostile run might:
// each check has to be able to fail.

#include "confined_run.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace hostile;

namespace {

struct ScriptCase {
    const char* name;
    const char* script;  // bash; @PORT@ stands for the listener's port
    RunLimits limits;
    bool exited;
    int exitStatus;
    int signal;
    bool cpuKilled;
    bool timedOut;
    bool memoryKilled;
    bool strayProcesses;
    int connections;
};

void PrintTo(const ScriptCase& c, std::ostream* out) { *out << c.name; }

class ConfinedRun : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ConfinedRun, ReportsWhatTheChildDid) {
    const ScriptCase& c = GetParam();
    const TemporaryDirectory dir("hostile-self");
    LoopbackListener listener;
    std::string script = c.script;
    const auto at = script.find("@PORT@");
    if (at != std::string::npos) script.replace(at, 6, std::to_string(listener.Port()));
    const fs::path program = dir.path() / "program";
    WriteFile(program, "#!/bin/bash\n" + script + "\n");
    fs::permissions(program, fs::perms::owner_all);

    const RunOutcome run =
        RunConfined(program, dir.path(), dir.path() / "stdout", dir.path() / "stderr", c.limits, listener);

    EXPECT_EQ(run.exited, c.exited);
    if (c.exited) {
        EXPECT_EQ(run.exitStatus, c.exitStatus);
    } else {
        EXPECT_EQ(run.signal, c.signal);
    }
    EXPECT_EQ(run.cpuKilled, c.cpuKilled);
    EXPECT_EQ(run.timedOut, c.timedOut);
    EXPECT_EQ(run.memoryKilled, c.memoryKilled);
    EXPECT_EQ(run.strayProcesses, c.strayProcesses);
    EXPECT_EQ(listener.Connections(), c.connections);
    EXPECT_LT(run.seconds, c.limits.wallSeconds + 5);
    if (c.cpuKilled) {
        // The kernel's accounting lags its own signal by a tick or so.
        EXPECT_GE(run.cpuSeconds, 0.9 * c.limits.cpuSeconds);
    } else if (c.exited) {
        EXPECT_LT(run.cpuSeconds, c.limits.cpuSeconds);
    }
    if (c.memoryKilled) {
        EXPECT_GT(run.peakMib, c.limits.memoryMib);
    }
}

constexpr RunLimits kRoomy{20, 60, 1024};

INSTANTIATE_TEST_SUITE_P(
    Scripts, ConfinedRun,
    ::testing::Values(
        ScriptCase{"exit_status", "exit 3", kRoomy, true, 3, 0, false, false, false, false, 0},
        // stdin is at end of file: the read fails at once.
        ScriptCase{"stdin_at_end", "if read -r line; then exit 1; fi; exit 0", kRoomy, true, 0, 0, false, false,
                   false, false, 0},
        ScriptCase{"signal", "kill -SEGV $$", kRoomy, false, 0, SIGSEGV, false, false, false, false, 0},
        // Busy for longer than its processor time allows: the kernel stops it.
        ScriptCase{"cpu_bound", "while :; do :; done", RunLimits{1, 30, 1024}, false, 0, SIGXCPU, true, false, false,
                   false, 0},
        // Longer in wall time than the processor-time bound, as a run on a busy machine is, but
        // idle: it ends as it would anyway.
        ScriptCase{"wall_time_beyond_cpu_bound", "sleep 2; exit 0", RunLimits{1, 30, 1024}, true, 0, 0, false, false,
                   false, false, 0},
        // Blocked without using the processor: the wall-clock safety net ends it.
        ScriptCase{"wall_clock_safety_net", "sleep 30", RunLimits{20, 0.5, 1024}, false, 0, SIGKILL, false, true,
                   false, false, 0},
        ScriptCase{"memory_bound", "x=$(head -c 400000000 /dev/zero | tr '\\0' a); echo ${#x}",
                   RunLimits{60, 60, 100}, false, 0, SIGKILL, false, false, true, false, 0},
        ScriptCase{"loopback_connection", "exec 3<>/dev/tcp/127.0.0.1/@PORT@; exec 3>&-", kRoomy, true, 0, 0, false,
                   false, false, false, 1},
        ScriptCase{"stray_process", "sleep 30 & exit 0", kRoomy, true, 0, 0, false, false, false, true, 0}),
    [](const ::testing::TestParamInfo<ScriptCase>& param) { return std::string(param.param.name); });

TEST(OpenWatch, SeesFilesOpenedButNotFilesOnlyLookedAt) {
    const TemporaryDirectory dir("hostile-self");
    const fs::path read = dir.path() / "read.txt";
    const fs::path written = dir.path() / "written.txt";
    const fs::path looked = dir.path() / "looked-at.txt";
    for (const fs::path& file : {read, written, looked}) WriteFile(file, "secret");
    OpenWatch watch({read, written, looked});

    EXPECT_EQ(ReadBytes(read), "secret");
    std::FILE* appended = std::fopen(written.c_str(), "a");
    ASSERT_NE(appended, nullptr);
    std::fclose(appended);
    EXPECT_TRUE(fs::is_regular_file(looked));
    EXPECT_EQ(fs::canonical(looked), fs::canonical(dir.path()) / "looked-at.txt");

    const std::vector<fs::path> opened = watch.Opened();
    EXPECT_EQ(opened, (std::vector<fs::path>{read, written}));
}

TEST(Snapshot, SeesCreatedChangedAndRemovedEntriesOutsideTheExcludedOnes) {
    const TemporaryDirectory dir("hostile-self");
    fs::create_directories(dir.path() / "kept" / "deep");
    fs::create_directories(dir.path() / "excluded");
    WriteFile(dir.path() / "kept" / "same.txt", "same");
    WriteFile(dir.path() / "kept" / "edited.txt", "abcd");
    WriteFile(dir.path() / "kept" / "removed.txt", "gone soon");
    const std::vector<fs::path> excluded = {dir.path() / "excluded"};
    const Snapshot before = TakeSnapshot(dir.path(), excluded);

    WriteFile(dir.path() / "kept" / "edited.txt", "abce");  // same size
    fs::remove(dir.path() / "kept" / "removed.txt");
    WriteFile(dir.path() / "kept" / "deep" / "new.txt", "");
    WriteFile(dir.path() / "excluded" / "ignored.txt", "anything");
    const Snapshot after = TakeSnapshot(dir.path(), excluded);

    EXPECT_EQ(before.at("kept/same.txt"), after.at("kept/same.txt"));
    EXPECT_NE(before.at("kept/edited.txt"), after.at("kept/edited.txt"));
    EXPECT_EQ(after.count("kept/removed.txt"), 0u);
    EXPECT_EQ(before.count("kept/deep/new.txt"), 0u);
    EXPECT_EQ(after.count("kept/deep/new.txt"), 1u);
    EXPECT_EQ(after.count("excluded"), 0u);
    EXPECT_EQ(after.count("excluded/ignored.txt"), 0u);
}

}  // namespace
