// Starts one program and reports on descriptor 3 first its process id, then how it ended and its
// peak resident size. The kernel counts a program's peak from the process that forked it, so
// this stays a small, uninstrumented process: the measurement is then the program's own.
//
//   hostile_launch <address-space limit in bytes, 0 for none> <program>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) return 125;
    const unsigned long long addressSpace = std::strtoull(argv[1], nullptr, 10);
    const pid_t pid = ::fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        ::close(3);
        if (addressSpace != 0) {
            const rlimit limit{addressSpace, addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        char* const args[] = {argv[2], nullptr};
        ::execv(argv[2], args);
        ::_exit(127);
    }
    ::dprintf(3, "pid %d\n", static_cast<int>(pid));
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return 125;
    }
    ::dprintf(3, "status %d maxrss %ld\n", status, usage.ru_maxrss);
    return 0;
}
