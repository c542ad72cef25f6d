#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace hostile {

// A TCP listener on 127.0.0.1 at an ephemeral port that counts who connects to it.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Port() const { return port_; }
    int Descriptor() const { return fd_; }
    // Accepts and closes every pending connection; returns how many there were.
    int AcceptPending();
    int Connections() const { return connections_; }

private:
    int fd_ = -1;
    int port_ = 0;
    int connections_ = 0;
};

// The bounds of a run. Time is bounded by the processor time the program uses, which other work
// on the machine does not stretch; the wall-clock bound is only a safety net for a program that
// hangs without using the processor.
struct RunLimits {
    double cpuSeconds = 0;   // the program is stopped once it has used this much processor time
    double wallSeconds = 0;  // the child is killed once this much wall time has passed
    double memoryMib = 0;    // the child is killed once its resident size passes this
};

struct RunOutcome {
    bool exited = false;     // ended through exit; otherwise by a signal
    int exitStatus = -1;
    int signal = 0;
    bool cpuKilled = false;  // stopped by the kernel at the processor-time bound
    bool timedOut = false;   // killed at the wall-clock safety net
    bool memoryKilled = false;  // killed at the memory bound
    bool strayProcesses = false;  // something it started was still running after it ended
    double cpuSeconds = 0;   // user and system time of the program, all its threads
    double seconds = 0;      // wall time
    double peakMib = 0;      // peak resident size, from the kernel's accounting
};

// Runs `program` in `workDir` with stdin at end of file and stdout and stderr to the given files,
// in its own process group, under the limits; the listener is serviced while it runs.
RunOutcome RunConfined(const std::filesystem::path& program, const std::filesystem::path& workDir,
                       const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
                       const RunLimits& limits, LoopbackListener& listener);

// Notes every opening of the given files while it lives (inotify), reading or writing alike;
// looking at a file's status or resolving a path to it is no opening.
class OpenWatch {
public:
    explicit OpenWatch(const std::vector<std::filesystem::path>& files);
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // The files opened since the watch began.
    std::vector<std::filesystem::path> Opened();

private:
    int fd_ = -1;
    std::map<int, std::filesystem::path> watched_;
    std::vector<std::filesystem::path> opened_;
};

// Path (relative to the root) to a description of each entry: type, mode, size, times and a
// hash of the content. Entries under any of `excluded` are left out.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::filesystem::path& root, const std::vector<std::filesystem::path>& excluded);

}  // namespace hostile
