#include "sandbox.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Points descriptor `target` at the file `path` opened with `flags`; false when it cannot.
bool Redirect(int target, const char* path, int flags) {
    const int opened = open(path, flags, 0644);
    if (opened < 0) return false;
    const bool moved = dup2(opened, target) >= 0;
    close(opened);
    return moved;
}

// A pipe's two ends, closed with the object unless taken.
class Pipe {
public:
    Pipe() {
        if (pipe2(ends_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    ~Pipe() {
        CloseReadEnd();
        CloseWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int ReadEnd() const noexcept { return ends_[0]; }
    int WriteEnd() const noexcept { return ends_[1]; }
    void CloseReadEnd() noexcept { Close(ends_[0]); }
    void CloseWriteEnd() noexcept { Close(ends_[1]); }

private:
    static void Close(int& end) noexcept {
        if (end >= 0) close(end);
        end = -1;
    }
    int ends_[2] = {-1, -1};
};

// Up to `limit` bytes from `descriptor`, fewer when it reaches its end first.
std::string ReadUpTo(int descriptor, std::size_t limit) {
    std::string bytes(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t read = ::read(descriptor, bytes.data() + got, limit - got);
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) break;
        got += static_cast<std::size_t>(read);
    }
    bytes.resize(got);
    return bytes;
}

}  // namespace

ChildOutcome RunInChild(const fs::path& directory, const std::function<int()>& body, ConsoleKind console) {
    const TemporaryDirectory capture;
    const std::string consoleFile = (capture.path() / "console").string();
    const std::string errorsFile = (capture.path() / "errors").string();
    const bool piped = console == ConsoleKind::kPipeWithoutReader || console == ConsoleKind::kPipeClosedEarly;
    std::optional<Pipe> pipe;
    if (piped) pipe.emplace();
    if (console == ConsoleKind::kPipeWithoutReader) pipe->CloseReadEnd();

    // Whatever the parent has buffered must not come out of the child a second time.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
        const bool consoleReady = piped ? dup2(pipe->WriteEnd(), STDOUT_FILENO) == STDOUT_FILENO
                                        : Redirect(STDOUT_FILENO, consoleFile.c_str(), kWrite);
        if (chdir(directory.c_str()) != 0 || !Redirect(STDIN_FILENO, "/dev/null", O_RDONLY) || !consoleReady ||
            !Redirect(STDERR_FILENO, errorsFile.c_str(), kWrite))
            _exit(125);
        // The child keeps no end of its own beyond its standard output: with a read end of its
        // own a write would never fail, only block once the pipe is full.
        if (piped) {
            pipe->CloseReadEnd();
            pipe->CloseWriteEnd();
        }
        if (console == ConsoleKind::kClosed) close(STDOUT_FILENO);
        if (console == ConsoleKind::kAllStandardDescriptorsClosed) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        }
        int status = 124;
        try {
            status = body();
        } catch (...) {
            // The parent sees 124 and the captured errors.
        }
        std::fflush(nullptr);
        _exit(status & 0xFF);
    }

    ChildOutcome outcome;
    if (piped) {
        pipe->CloseWriteEnd();
        if (console == ConsoleKind::kPipeClosedEarly) outcome.console = ReadUpTo(pipe->ReadEnd(), kEarlyReaderBytes);
        pipe->CloseReadEnd();
    }
    int waited = 0;
    while (waitpid(child, &waited, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    outcome.status = WIFEXITED(waited) ? WEXITSTATUS(waited) : -1;
    outcome.signal = WIFSIGNALED(waited) ? WTERMSIG(waited) : 0;
    if (console == ConsoleKind::kCaptured) outcome.console = ReadBytes(consoleFile).value_or("");
    outcome.errors = ReadBytes(errorsFile).value_or("");
    if (outcome.signal != 0) outcome.errors += "\n[ended by signal " + std::to_string(outcome.signal) + "]";
    return outcome;
}

ChildOutcome RunProgram(const fs::path& program, const fs::path& directory, ConsoleKind console) {
    return RunInChild(
        directory,
        [&program] {
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            std::perror("execl");
            return 126;
        },
        console);
}
