// Starts one program and reports on descriptor 3 first its process id, then how it ended, its
// peak resident size and the processor time it used. The kernel counts a program's peak from
// the process that forked it, so this stays a small, uninstrumented process: the measurement is
// then the program's own.
//
//   hostile_launch <address-space limit in bytes, 0 for none> <processor seconds, 0 for none> <program>
//
// At the processor-time limit the kernel sends the program SIGXCPU, and SIGKILL a second later.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) return 125;
    const unsigned long long addressSpace = std::strtoull(argv[1], nullptr, 10);
    const unsigned long long processorSeconds = std::strtoull(argv[2], nullptr, 10);
    const pid_t pid = ::fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        ::close(3);
        if (addressSpace != 0) {
            const rlimit limit{addressSpace, addressSpace};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (processorSeconds != 0) {
            const rlimit limit{processorSeconds, processorSeconds + 1};
            ::setrlimit(RLIMIT_CPU, &limit);
        }
        char* const args[] = {argv[3], nullptr};
        ::execv(argv[3], args);
        ::_exit(127);
    }
    ::dprintf(3, "pid %d\n", static_cast<int>(pid));
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return 125;
    }
    const long long processorMicroseconds =
        (static_cast<long long>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
        usage.ru_stime.tv_usec;
    ::dprintf(3, "status %d maxrss %ld cpu_us %lld\n", status, usage.ru_maxrss, processorMicroseconds);
    return 0;
}
