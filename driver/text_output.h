// Text output with the driver's line ends: every line feed is stored as CR LF, on every platform
// and on every stream (console, run log, output file), whatever mode the stream was opened in.
#pragma once

#include "platform.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// Writes `text` to `file` with each line feed stored as CR LF (a CR already in front of it
// stays, giving CR CR LF). Returns false when the stream reports a write error; a stream in
// error, before or during the call, is not written further.
bool WriteText(std::FILE* file, std::string_view text) noexcept;

// Formats like printf and writes the result through WriteText. Returns false when formatting
// or writing fails; a long text that finds no memory is written cut at 1023 bytes.
bool PrintText(std::FILE* file, const char* format, ...) noexcept BRENDLE_PRINTF_FORMAT(2, 3);

// PrintText with the arguments in a va_list, which it leaves unconsumed for the caller's va_end.
bool PrintTextV(std::FILE* file, const char* format, std::va_list arguments) noexcept;

// The path as the file system takes it: the driver writes its paths with '\' as in its
// messages, and '/' separates folders on every platform it runs on.
std::string FileSystemPath(std::string_view path);
