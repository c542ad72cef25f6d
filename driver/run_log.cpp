#include "run_log.h"

#include "text_output.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>

void LogLine(const char* format, ...) noexcept {
    // Converted without allocating, so that an error line gets written when memory ran out.
    char path[sizeof kRunLogPath];
    std::replace_copy(std::begin(kRunLogPath), std::end(kRunLogPath), path, '\\', '/');
    std::FILE* log = std::fopen(path, "ab");
    if (log == nullptr) return;
    std::va_list arguments;
    va_start(arguments, format);
    PrintTextV(log, format, arguments);
    va_end(arguments);
    WriteText(log, "\n");
    std::fclose(log);
}
