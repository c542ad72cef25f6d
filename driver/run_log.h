// The run log, "Output\debug.txt": the record of how far each run got.
#pragma once

#include "platform.h"

// The run log's path as the messages write it.
inline constexpr char kRunLogPath[] = "Output\\debug.txt";

// Appends the message formatted from `format` and its arguments, and a line feed, to the run
// log. The log is opened and closed around every message, so a run that ends abruptly keeps
// every line it wrote. A log that cannot be opened (no Output folder) loses the line silently;
// write errors are ignored too. Text not under the caller's control goes in through "%s".
void LogLine(const char* format, ...) noexcept BRENDLE_PRINTF_FORMAT(1, 2);
