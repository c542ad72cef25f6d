// Running the driver as a tester would: in a directory of its own, with the standard input at
// end of file and the console captured.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// A new, empty directory under the system's temporary folder, removed with the object.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

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

// The bytes of the file at `path`; none when it is not a regular file.
std::optional<std::string> ReadBytes(const std::filesystem::path& path);

// Copies the folder `from` with everything in it to `to`.
void CopyFolder(const std::filesystem::path& from, const std::filesystem::path& to);
