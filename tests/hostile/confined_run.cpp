#include "confined_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace hostile {
namespace {

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

constexpr rlim_t kMiB = 1u << 20;

// Resident size of `pid` in MiB from /proc, or 0 once it is gone.
double ResidentMib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

std::uint64_t HashFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash ^= static_cast<unsigned char>(buffer[i]);
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace

LoopbackListener::LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) ThrowErrno("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ThrowErrno("bind");
    if (::listen(fd_, 64) != 0) ThrowErrno("listen");
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) ThrowErrno("getsockname");
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
}

int LoopbackListener::AcceptPending() {
    int accepted = 0;
    for (;;) {
        const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) break;
        ::close(connection);
        ++accepted;
    }
    connections_ += accepted;
    return accepted;
}

RunOutcome RunConfined(const fs::path& program, const fs::path& workDir, const fs::path& stdoutFile,
                       const fs::path& stderrFile, const RunLimits& limits, LoopbackListener& listener) {
    // Everything the child needs is prepared here: after fork it only makes plain system calls.
    const std::string launcherPath = HOSTILE_LAUNCHER;
    const std::string programPath = program.string();
    const std::string workPath = workDir.string();
    const std::string stdoutPath = stdoutFile.string();
    const std::string stderrPath = stderrFile.string();
#if HOSTILE_ADDRESS_LIMIT
    // Room for address space that is reserved but never touched (a large thread stack, say),
    // so that the resident-size bound, not this cap, is what a runaway meets first.
    const rlim_t addressSpace = static_cast<rlim_t>(limits.memoryMib) * kMiB + 2048 * kMiB;
#else
    const rlim_t addressSpace = 0;
#endif
    const std::string addressSpaceText = std::to_string(addressSpace);
    // The kernel counts whole seconds: the limit is the bound rounded up, and the processor time
    // measured afterwards is held to the bound itself.
    const auto processorSeconds = static_cast<long long>(std::ceil(limits.cpuSeconds));
    const std::string processorSecondsText = std::to_string(processorSeconds);
    const rlim_t fileSize = 2048 * kMiB;
    char* const argv[] = {const_cast<char*>(launcherPath.c_str()), const_cast<char*>(addressSpaceText.c_str()),
                          const_cast<char*>(processorSecondsText.c_str()), const_cast<char*>(programPath.c_str()),
                          nullptr};

    int report[2];
    if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");

    // Whatever the run leaves behind is re-parented to us rather than to init, so it can be
    // found and reaped below.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) ThrowErrno("fork");
    if (pid == 0) {
        ::setpgid(0, 0);
        if (::chdir(workPath.c_str()) != 0) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::dup2(report[1], 3);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const rlimit files{fileSize, fileSize};
        ::setrlimit(RLIMIT_FSIZE, &files);
        ::execv(launcherPath.c_str(), argv);
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here, so the group exists before any kill below
    ::close(report[1]);

    // The launcher's report: "pid <program>" once started, "status <wait status> maxrss <KiB>
    // cpu_us <microseconds>" once it has ended.
    std::string reportText;
    const auto readReport = [&] {
        char buffer[256];
        ssize_t got = 0;
        while ((got = ::read(report[0], buffer, sizeof buffer)) > 0) reportText.append(buffer, static_cast<std::size_t>(got));
    };
    const auto reported = [&](const char* key) -> long long {
        const auto at = reportText.find(key);
        if (at == std::string::npos) return -1;
        return std::atoll(reportText.c_str() + at + std::strlen(key));
    };

    RunOutcome outcome;
    int launcherStatus = 0;
    double polledPeakMib = 0;
    for (;;) {
        const pid_t reaped = ::wait4(pid, &launcherStatus, WNOHANG, nullptr);
        if (reaped == pid) break;
        if (reaped < 0 && errno != EINTR) ThrowErrno("wait4");
        readReport();
        const long long programPid = reported("pid ");
        const double resident = ResidentMib(programPid > 0 ? static_cast<pid_t>(programPid) : pid);
        polledPeakMib = std::max(polledPeakMib, resident);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const bool late = elapsed.count() > limits.wallSeconds;
        const bool large = resident > limits.memoryMib;
        if (late || large) {
            outcome.timedOut = late;
            outcome.memoryKilled = large && !late;
            ::kill(-pid, SIGKILL);
            while (::wait4(pid, &launcherStatus, 0, nullptr) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd waiting{listener.Descriptor(), POLLIN, 0};
        if (::poll(&waiting, 1, 5) > 0) listener.AcceptPending();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    listener.AcceptPending();
    readReport();
    ::close(report[0]);

    // The group outliving its leader means the run started something that kept running. Its
    // orphans are ours (we are their subreaper), so finished ones are reaped before looking.
    if (!outcome.timedOut && !outcome.memoryKilled) {
        while (::waitpid(-pid, nullptr, WNOHANG) > 0) {
        }
        outcome.strayProcesses = ::kill(-pid, 0) == 0;
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(-pid, nullptr, 0) > 0 || errno == EINTR) {
    }

    outcome.seconds = elapsed.count();
    const long long programStatus = reported("status ");
    const long long maxrss = reported("maxrss ");
    const long long processorMicroseconds = reported("cpu_us ");
    // Killed before the launcher could report: the status is the launcher's, the peak what was seen.
    const int status = programStatus >= 0 ? static_cast<int>(programStatus) : launcherStatus;
    outcome.peakMib = maxrss >= 0 ? static_cast<double>(maxrss) / 1024.0 : polledPeakMib;
    outcome.cpuSeconds = processorMicroseconds >= 0 ? static_cast<double>(processorMicroseconds) / 1e6 : 0;
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    // SIGXCPU at the limit, or SIGKILL a second later from the kernel, not from here.
    outcome.cpuKilled = processorMicroseconds >= 0 && !outcome.timedOut && !outcome.memoryKilled &&
                        (outcome.signal == SIGXCPU ||
                         (outcome.signal == SIGKILL && outcome.cpuSeconds >= static_cast<double>(processorSeconds)));
    return outcome;
}

OpenWatch::OpenWatch(const std::vector<fs::path>& files) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) ThrowErrno("inotify_init1");
    for (const fs::path& file : files) {
        const int watch = ::inotify_add_watch(fd_, file.c_str(), IN_OPEN);
        if (watch < 0) ThrowErrno("inotify_add_watch");
        watched_[watch] = file;
    }
}

OpenWatch::~OpenWatch() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<fs::path> OpenWatch::Opened() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const auto file = watched_.find(event->wd);
            if ((event->mask & IN_OPEN) != 0 && file != watched_.end() &&
                std::find(opened_.begin(), opened_.end(), file->second) == opened_.end())
                opened_.push_back(file->second);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return opened_;
}

Snapshot TakeSnapshot(const fs::path& root, const std::vector<fs::path>& excluded) {
    Snapshot snapshot;
    auto entries = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied);
    for (auto it = fs::begin(entries); it != fs::end(entries); ++it) {
        const fs::path& path = it->path();
        bool skip = false;
        for (const auto& excludedPath : excluded) skip = skip || path == excludedPath;
        if (skip) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        std::string description = "mode " + std::to_string(info.st_mode) + " size " + std::to_string(info.st_size) +
                                  " mtime " + std::to_string(info.st_mtim.tv_sec) + "." +
                                  std::to_string(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode)) {
            description += " hash " + std::to_string(HashFile(path));
        } else if (S_ISLNK(info.st_mode)) {
            description += " link " + fs::read_symlink(path).string();
        }
        snapshot[fs::relative(path, root).string()] = description;
    }
    return snapshot;
}

}  // namespace hostile
