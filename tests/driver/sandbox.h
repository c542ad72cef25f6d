// Running the driver as a tester would: in a directory of its own, with the standard input at
// end of file and the console captured.
#pragma once

#include "support/files.h"

#include <filesystem>
#include <functional>
#include <string>

// How a child process ended and what it wrote.
struct ChildOutcome {
    // The exit status as a parent sees it (0 to 255); -1 when a signal ended the child.
    int status = -1;
    std::string console;
    std::string errors;
};

// Runs `body` in a forked child whose working directory is `directory`, with the standard input
// at end of file and the standard output and error captured. The child ends with the status
// `body` returns, unless `body` ends the process itself.
ChildOutcome RunInChild(const std::filesystem::path& directory, const std::function<int()>& body);

// Runs the program at `program` without arguments, as RunInChild runs a body.
ChildOutcome RunProgram(const std::filesystem::path& program, const std::filesystem::path& directory);
