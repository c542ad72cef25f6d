#include "console.h"

#include "text_output.h"

#include <cstdarg>
#include <cstdio>

namespace {

bool gFailed = false;

// Records a failed write or flush. The stream's error is cleared: it stays a fault of the console
// alone, which is not written again.
void NoteResult(bool written) noexcept {
    if (written) return;
    std::clearerr(stdout);
    gFailed = true;
}

}  // namespace

void PrepareConsole() noexcept {
    KeepStandardDescriptorsOpen();
    IgnoreBrokenPipes();
    SetBinaryMode(stdout);
}

void ConsoleWrite(std::string_view text) noexcept {
    if (!gFailed) NoteResult(WriteText(stdout, text));
}

void ConsolePrint(const char* format, ...) noexcept {
    if (gFailed) return;
    std::va_list arguments;
    va_start(arguments, format);
    const bool written = PrintTextV(stdout, format, arguments);
    va_end(arguments);
    // A text that does not format is no fault of the console.
    NoteResult(written || std::ferror(stdout) == 0);
}

void ConsoleFlush() noexcept {
    if (!gFailed) NoteResult(std::fflush(stdout) == 0);
}
