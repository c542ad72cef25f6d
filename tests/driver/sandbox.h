// Running the driver as a tester would: in a directory of its own, with the standard input at
// end of file and the console captured.
#pragma once

#include "support/files.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

// How a child process ended and what it wrote.
struct ChildOutcome {
    // The exit status as a parent sees it (0 to 255); -1 when a signal ended the child.
    int status = -1;
    // The signal that ended the child; 0 when it exited.
    int signal = 0;
    // The bytes the parent received from the standard output.
    std::string console;
    std::string errors;
};

// What a child's standard output is.
enum class ConsoleKind {
    // A file, read back once the child has ended.
    kCaptured,
    // A pipe whose reader is gone before the child starts: every write to it fails.
    kPipeWithoutReader,
    // A pipe whose reader takes the first kEarlyReaderBytes bytes and then closes its end, as
    // `| head -c 20` does.
    kPipeClosedEarly,
    // No descriptor at all, as `>&-` leaves it.
    kClosed,
    // Standard input, output and error all closed.
    kAllStandardDescriptorsClosed,
};

// The bytes that the reader of kPipeClosedEarly takes.
inline constexpr std::size_t kEarlyReaderBytes = 20;

// Runs `body` in a forked child whose working directory is `directory`, with the standard input
// at end of file, the standard output as `console` says and the standard error captured. The
// child ends with the status `body` returns, unless `body` ends the process itself.
ChildOutcome RunInChild(const std::filesystem::path& directory, const std::function<int()>& body,
                        ConsoleKind console = ConsoleKind::kCaptured);

// Runs the program at `program` without arguments, as RunInChild runs a body.
ChildOutcome RunProgram(const std::filesystem::path& program, const std::filesystem::path& directory,
                        ConsoleKind console = ConsoleKind::kCaptured);
