// Files and folders for tests: a temporary directory that goes with its owner, and whole files
// written and read in one call.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A new, empty directory under the system's temporary folder, named after `prefix` and removed
// with everything in it when the object goes, even where a test took permissions away.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(std::string_view prefix = "brendle-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// Writes `bytes` to `file`, replacing it and creating the folders on the way. Throws
// std::runtime_error when the file cannot be written whole.
void WriteFile(const std::filesystem::path& file, std::string_view bytes);

// The bytes of the file at `file`; none when it is not a regular file or cannot be read.
std::optional<std::string> ReadBytes(const std::filesystem::path& file);

// Copies the folder `from` with everything in it to `to`, keeping symbolic links as links.
void CopyFolder(const std::filesystem::path& from, const std::filesystem::path& to);
