// Local files: turning names and URLs into paths and back, reading, and folder containment.
#pragma once

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

// Reads a whole file. On failure returns false with the errno value in `error`.
bool ReadWholeFile(const std::string& path, std::string& content, int& error);
// The real path of `path` (symbolic links resolved), or the lexically normal absolute path
// when it does not exist; empty when neither can be made.
std::string ResolvedPath(std::string_view path);
// The folder that holds the file at `path`.
std::string FolderOf(std::string_view path);
// True when the resolved `path` is `folder` or lies below it.
bool IsInside(std::string_view path, std::string_view folder) noexcept;

}  // namespace xmlservice
