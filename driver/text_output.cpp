#include "text_output.h"

#include <algorithm>
#include <cstring>
#include <memory>

bool WriteText(std::FILE* file, std::string_view text) noexcept {
    // The translated text goes out in large blocks: a call per line would cost more than the
    // translation itself on a result of megabytes, and a line-buffered console would get a
    // write per line. A stream in error is not written further: on a pipe without a reader
    // every block would fail again.
    constexpr std::size_t kBlock = 64 * 1024;
    char block[kBlock];
    std::size_t used = 0;
    const auto flush = [&] {
        if (used > 0 && std::ferror(file) == 0) std::fwrite(block, 1, used, file);
        used = 0;
    };
    const char* cursor = text.data();
    std::size_t left = text.size();
    while (left > 0 && std::ferror(file) == 0) {
        const auto* lineFeed = static_cast<const char*>(std::memchr(cursor, '\n', left));
        const std::size_t run = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - cursor) : left;
        if (run >= kBlock / 2) {
            // A long run goes straight from the text, without a copy.
            flush();
            if (std::ferror(file) == 0) std::fwrite(cursor, 1, run, file);
        } else {
            if (used + run + 2 > kBlock) flush();
            std::memcpy(block + used, cursor, run);
            used += run;
        }
        if (lineFeed == nullptr) break;
        if (used + 2 > kBlock) flush();
        block[used++] = '\r';
        block[used++] = '\n';
        cursor = lineFeed + 1;
        left -= run + 1;
    }
    flush();
    return std::ferror(file) == 0;
}

bool PrintTextV(std::FILE* file, const char* format, std::va_list arguments) noexcept {
    char small[1024];
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(small, sizeof small, format, measuring);
    va_end(measuring);
    if (length < 0) return false;
    const auto size = static_cast<std::size_t>(length);
    if (size < sizeof small) return WriteText(file, std::string_view(small, size));

    const std::unique_ptr<char[]> large(new (std::nothrow) char[size + 1]);
    if (large == nullptr) {
        // Without memory for the whole text its beginning is better than nothing.
        WriteText(file, std::string_view(small, sizeof small - 1));
        return false;
    }
    std::va_list formatting;
    va_copy(formatting, arguments);
    std::vsnprintf(large.get(), size + 1, format, formatting);
    va_end(formatting);
    return WriteText(file, std::string_view(large.get(), size));
}

bool PrintText(std::FILE* file, const char* format, ...) noexcept {
    std::va_list arguments;
    va_start(arguments, format);
    const bool written = PrintTextV(file, format, arguments);
    va_end(arguments);
    return written;
}

std::string FileSystemPath(std::string_view path) {
    std::string converted(path);
    std::replace(converted.begin(), converted.end(), '\\', '/');
    return converted;
}
