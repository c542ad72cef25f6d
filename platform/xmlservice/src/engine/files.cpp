#include "engine/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

namespace xmlservice {
namespace {

struct MallocDeleter {
    void operator()(char* memory) const noexcept { std::free(memory); }
};

bool IsUnreserved(unsigned char byte) noexcept {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '.' || byte == '_' || byte == '~';
}

int HexValue(char digit) noexcept {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view escaped, std::string& plain) {
    plain.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '%') {
            plain.push_back(escaped[i]);
            continue;
        }
        if (i + 2 >= escaped.size()) return false;
        const int high = HexValue(escaped[i + 1]);
        const int low = HexValue(escaped[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        plain.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string_view SchemeOf(std::string_view uri) noexcept {
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (uri.empty() || !isLetter(uri[0])) return {};
    std::size_t i = 1;
    for (; i < uri.size() && uri[i] != ':'; ++i) {
        const char c = uri[i];
        if (!isLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return {};
    }
    if (i == uri.size() || i < 2) return {};
    return uri.substr(0, i);
}

UriKind PathFromUri(std::string_view uri, std::string& path) {
    const std::string_view scheme = SchemeOf(uri);
    if (scheme.empty()) {
        path.assign(uri);
        return path.empty() ? UriKind::Invalid : UriKind::LocalFile;
    }
    if (!EqualsIgnoringCase(scheme, "file")) return UriKind::Remote;
    std::string_view rest = uri.substr(scheme.size() + 1);
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        if (!host.empty() && !EqualsIgnoringCase(host, "localhost")) return UriKind::Remote;
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (rest.empty() || !Unescape(rest, path)) return UriKind::Invalid;
    return UriKind::LocalFile;
}

std::string FileUrlFromPath(std::string_view absolutePath) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (const char c : absolutePath) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(byte) || byte == '/') {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(kHex[byte >> 4]);
            url.push_back(kHex[byte & 0x0F]);
        }
    }
    return url;
}

std::string DisplayFromUrl(std::string_view url) {
    std::string path;
    if (SchemeOf(url).empty() || PathFromUri(url, path) != UriKind::LocalFile) return std::string(url);
    return path;
}

void ReadableFile::Closer::operator()(std::FILE* file) const noexcept { (void)std::fclose(file); }

namespace {

// What a file that is no regular file is, for the reason it is not read.
const char* KindOf(mode_t mode) noexcept {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file of data";
}

// Checks what `status` describes; false, with `error` set, for anything but a regular file.
bool IsReadableKind(const struct stat& status, OpenError& error) noexcept {
    if (S_ISDIR(status.st_mode)) {
        error.number = EISDIR;
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error.notRegular = KindOf(status.st_mode);
        return false;
    }
    return true;
}

}  // namespace

std::string OpenFailureReason(std::string_view name, const OpenError& error) {
    std::string reason = "The file \"";
    reason.append(name);
    if (error.notRegular != nullptr) {
        reason.append("\" is not a regular file (it is ").append(error.notRegular);
        reason.append("); only regular files are read");
    } else {
        reason.append("\" cannot be read: ").append(std::generic_category().message(error.number));
    }
    return reason;
}

bool ReadableFile::Open(const std::string& path, OpenError& error) {
    error = {};
    file_.reset();
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        error.number = errno != 0 ? errno : ENOENT;
        return false;
    }
    if (!IsReadableKind(status, error)) return false;
    // Should the file be replaced by a named pipe after the look, opening it still does not wait;
    // what was opened is looked at again.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        error.number = errno != 0 ? errno : ENOENT;
        return false;
    }
    if (fstat(descriptor, &status) != 0 || !IsReadableKind(status, error) ||
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (error.number == 0 && error.notRegular == nullptr) error.number = errno != 0 ? errno : EIO;
        (void)::close(descriptor);
        return false;
    }
    file_.reset(fdopen(descriptor, "rb"));
    if (!file_) {
        error.number = errno != 0 ? errno : ENOMEM;
        (void)::close(descriptor);
        return false;
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
    // The parser asks for a few kilobytes at a time; the stream reads up to a megabyte per
    // system call, and no more than the file holds.
    constexpr std::uint64_t kLeastReadAhead = 4096;
    constexpr std::uint64_t kMostReadAhead = std::uint64_t{1} << 20;
    const auto readAhead = static_cast<std::size_t>(std::clamp(size_ + 1, kLeastReadAhead, kMostReadAhead));
    buffer_ = std::make_unique_for_overwrite<char[]>(readAhead);
    (void)std::setvbuf(file_.get(), buffer_.get(), _IOFBF, readAhead);
    return true;
}

std::string ReadableFile::Line(long line, std::uint64_t& start) {
    start = 0;
    if (!file_ || line < 1 || std::fseek(file_.get(), 0, SEEK_SET) != 0) return {};
    // Read in blocks: the line may be far into a large file. Only its first bytes are kept.
    std::string text;
    long current = 1;
    std::uint64_t offset = 0;
    bool ended = false;
    char block[16 * 1024];
    while (!ended) {
        const std::size_t got = std::fread(block, 1, sizeof block, file_.get());
        if (got == 0) break;
        std::string_view rest(block, got);
        while (!rest.empty()) {
            if (current < line) {
                const std::size_t feed = rest.find('\n');
                if (feed == std::string_view::npos) {
                    offset += rest.size();
                    break;
                }
                offset += feed + 1;
                rest.remove_prefix(feed + 1);
                if (++current == line) start = offset;
                continue;
            }
            const std::size_t feed = rest.find('\n');
            text.append(rest.substr(0, std::min(feed, kLongestQuotedLine + 1 - text.size())));
            if (feed != std::string_view::npos || text.size() > kLongestQuotedLine) ended = true;
            break;
        }
    }
    if (current < line) return {};
    if (text.size() > kLongestQuotedLine) return std::string(QuotedLine(text));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

std::string_view QuotedLine(std::string_view text) noexcept {
    if (text.size() <= kLongestQuotedLine) return text;
    std::size_t end = kLongestQuotedLine;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::string NamedPath(std::string_view path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(std::string(path), error);
    if (error) return {};
    const std::string whole = absolute.string();
    const std::size_t slash = whole.rfind('/');
    if (slash == std::string::npos) return {};
    const std::string name = whole.substr(slash + 1);
    // A name that is no file of its own ("", ".", "..") is resolved as a whole.
    if (name.empty() || name == "." || name == "..") return ResolvedPath(whole);
    const std::string folder = ResolvedPath(slash == 0 ? std::string("/") : whole.substr(0, slash));
    if (folder.empty()) return {};
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

std::string ResolvedPath(std::string_view path) {
    const std::string copy(path);
    const std::unique_ptr<char, MallocDeleter> real(realpath(copy.c_str(), nullptr));
    if (real) return real.get();
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(copy, error);
    if (error) return {};
    return absolute.lexically_normal().string();
}

std::string FolderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool IsInside(std::string_view path, std::string_view folder) noexcept {
    if (folder.empty() || path.substr(0, folder.size()) != folder) return false;
    if (path.size() == folder.size() || folder.back() == '/') return true;
    return path[folder.size()] == '/';
}

}  // namespace xmlservice
