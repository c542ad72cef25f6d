// Runs one command and writes what that command alone cost: its wall time and the
// resource usage that wait4 reports for it.
//
//   measured_run REPORT COMMAND [ARGUMENT...]
//
// The command inherits the standard streams, the working directory, the environment
// and the process group. REPORT gets one "name value" line each: "exit" with the exit
// status or "signal" with the signal that ended the command, then wall_ns (monotonic
// clock from before the start to after the wait), maxrss_kib, minflt, majflt,
// utime_us and stime_us. When the command cannot be started, REPORT holds
// "error <reason>" and the exit status is 127.
//
// The benchmark does not take these figures from its own child: a process keeps,
// across exec, the peak resident size of the image it replaced, so anything started
// from the Python script reports at least the script's own peak. Started from this
// small program, the command's peak is its own.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

long long Nanoseconds(const timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

long long Microseconds(const timeval& time) {
  return static_cast<long long>(time.tv_sec) * 1000000LL + time.tv_usec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: measured_run REPORT COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  timespec start{};
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = 0;
  const int spawnError = posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ);
  int status = 0;
  rusage usage{};
  if (spawnError == 0) {
    while (wait4(child, &status, 0, &usage) < 0) {
      if (errno != EINTR) {
        std::perror("measured_run: wait4");
        return 1;
      }
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);

  std::FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr) {
    std::perror("measured_run: cannot write the report");
    return 1;
  }
  if (spawnError != 0) {
    std::fprintf(report, "error %s: %s\n", argv[2], std::strerror(spawnError));
  } else {
    if (WIFSIGNALED(status)) {
      std::fprintf(report, "signal %d\n", WTERMSIG(status));
    } else {
      std::fprintf(report, "exit %d\n", WEXITSTATUS(status));
    }
    std::fprintf(report, "wall_ns %lld\nmaxrss_kib %ld\nminflt %ld\nmajflt %ld\nutime_us %lld\nstime_us %lld\n",
                 Nanoseconds(end) - Nanoseconds(start), usage.ru_maxrss, usage.ru_minflt, usage.ru_majflt,
                 Microseconds(usage.ru_utime), Microseconds(usage.ru_stime));
  }
  if (std::fclose(report) != 0) {
    std::perror("measured_run: cannot write the report");
    return 1;
  }
  return spawnError != 0 ? 127 : 0;
}
