// Local files: turning names and URLs into paths and back, reading, and folder containment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace xmlservice {

enum class UriKind {
    LocalFile,
    // Any scheme other than file:, or a file: URL naming another host.
    Remote,
    Invalid,
};

// The local path of a URI: a file: URL (percent-escapes decoded, query and fragment dropped)
// or a plain path, returned as written.
UriKind PathFromUri(std::string_view uri, std::string& path);
// The scheme of a URI, "" for a plain path. A single letter before ':' counts as a drive, not
// a scheme.
std::string_view SchemeOf(std::string_view uri) noexcept;
// The file: URL of an absolute path, with every byte other than unreserved ones and '/' escaped.
std::string FileUrlFromPath(std::string_view absolutePath);
// The path of a file: URL made by FileUrlFromPath, for messages; `url` itself otherwise.
std::string DisplayFromUrl(std::string_view url);

// The longest text of a line that a parse error quotes: a line may be as long as its file.
constexpr std::size_t kLongestQuotedLine = 1000;

// Why a file could not be opened: an errno value, or, for a file that is there but is no regular
// file, what it is instead.
struct OpenError {
    int number = 0;
    const char* notRegular = nullptr;
};
// The one-line reason why the file that the caller named `name` could not be opened.
std::string OpenFailureReason(std::string_view name, const OpenError& error);

// A file open for reading, closed with its owner.
class ReadableFile {
public:
    // Opens `path` for reading; false, with the reason in `error`, when it cannot be. Only a
    // regular file is opened, and it is looked at first: a named pipe would wait for a writer,
    // and a device may never end or do something on being opened.
    bool Open(const std::string& path, OpenError& error);
    // The open file, read ahead in large blocks; null before a successful Open.
    std::FILE* Stream() const noexcept { return file_.get(); }
    // The file's size when it was opened.
    std::uint64_t Size() const noexcept { return size_; }
    // The text of line `line` (counted from 1) without its line end, at most kLongestQuotedLine
    // bytes of it, and in `start` where that line begins; read from the start of the file again.
    // Empty when the file is shorter.
    std::string Line(long line, std::uint64_t& start);

private:
    struct Closer {
        void operator()(std::FILE* file) const noexcept;
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::unique_ptr<char[]> buffer_;
    std::uint64_t size_ = 0;
};
// The real path of `path` (symbolic links resolved), or the lexically normal absolute path
// when it does not exist; empty when neither can be made.
std::string ResolvedPath(std::string_view path);
// The absolute path of the file at `path` as the caller named it: the real path of the folder
// that holds it and its own name, which is not followed when it is a symbolic link. Reads beside
// a document are decided by that folder, not by the one a link leads to. Empty when the folder
// cannot be found.
std::string NamedPath(std::string_view path);
// The text of `text` cut to at most kLongestQuotedLine bytes, between UTF-8 sequences.
std::string_view QuotedLine(std::string_view text) noexcept;
// The folder that holds the file at `path`.
std::string FolderOf(std::string_view path);
// True when the resolved `path` is `folder` or lies below it.
bool IsInside(std::string_view path, std::string_view folder) noexcept;

}  // namespace xmlservice
