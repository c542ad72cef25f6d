#include "sandbox.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

}  // namespace

ChildOutcome RunInChild(const fs::path& directory, const std::function<int()>& body) {
    const TemporaryDirectory capture;
    const std::string consoleFile = (capture.path() / "console").string();
    const std::string errorsFile = (capture.path() / "errors").string();

    // Whatever the parent has buffered must not come out of the child a second time.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
        if (chdir(directory.c_str()) != 0 || !Redirect(STDIN_FILENO, "/dev/null", O_RDONLY) ||
            !Redirect(STDOUT_FILENO, consoleFile.c_str(), kWrite) ||
            !Redirect(STDERR_FILENO, errorsFile.c_str(), kWrite))
            _exit(125);
        int status = 124;
        try {
            status = body();
        } catch (...) {
            // The parent sees 124 and the captured errors.
        }
        std::fflush(nullptr);
        _exit(status & 0xFF);
    }

    int waited = 0;
    while (waitpid(child, &waited, 0) < 0) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    ChildOutcome outcome;
    outcome.status = WIFEXITED(waited) ? WEXITSTATUS(waited) : -1;
    outcome.console = ReadBytes(consoleFile).value_or("");
    outcome.errors = ReadBytes(errorsFile).value_or("");
    if (WIFSIGNALED(waited)) outcome.errors += "\n[ended by signal " + std::to_string(WTERMSIG(waited)) + "]";
    return outcome;
}

ChildOutcome RunProgram(const fs::path& program, const fs::path& directory) {
    return RunInChild(directory, [&program] {
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        std::perror("execl");
        return 126;
    });
}
