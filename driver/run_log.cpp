#include "run_log.h"

#include "text_output.h"

#include <cstdarg>
#include <cstdio>

void LogLine(const char* format, ...) {
    std::FILE* log = std::fopen(FileSystemPath(kRunLogPath).c_str(), "ab");
    if (log == nullptr) return;
    std::va_list arguments;
    va_start(arguments, format);
    PrintTextV(log, format, arguments);
    va_end(arguments);
    WriteText(log, "\n");
    std::fclose(log);
}
