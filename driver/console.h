// The console: the standard output, written with the driver's line ends. Writing to it is a best
// effort: the first write or flush that fails (a pipe whose reader has gone, a closed or full
// output) ends the console's output for the rest of the run, and neither the run log, the output
// file nor the exit status depends on it.
#pragma once

#include "platform.h"

#include <string_view>

// Readies the process for the console: the standard output in binary mode, a broken pipe an
// error of the write instead of a signal, and no standard descriptor left closed. Called once,
// before anything is written.
void PrepareConsole() noexcept;

// Writes `text` to the console, unless the console has failed before.
void ConsoleWrite(std::string_view text) noexcept;

// Formats like printf and writes the result as ConsoleWrite does.
void ConsolePrint(const char* format, ...) noexcept BRENDLE_PRINTF_FORMAT(1, 2);

// Hands what the console holds buffered to the system, unless the console has failed before.
void ConsoleFlush() noexcept;
