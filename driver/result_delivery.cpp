#include "result_delivery.h"

#include "console.h"
#include "run_log.h"
#include "text_output.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kResultLogPrefix[] = "Output is: ";

// Reports an output file that took no bytes, or not all of them.
bool ReportWriteFailure() {
    ConsoleWrite("Error writing output file\n");
    ConsoleFlush();
    LogLine("Error writing output file Output\\*.htm");
    return false;
}

}  // namespace

IStreamPtr CreateOutputStream() {
    IStreamPtr stream;
    // Deliberately not examined: without a stream the processor is handed no output, and the
    // transformation fails for want of one.
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    LogLine("CreateStreamOnHGlobal OK.");
    return stream;
}

std::string ResultLogLine(const char* text) {
    constexpr std::size_t prefixLength = sizeof kResultLogPrefix - 1;
    // strnlen keeps a result of megabytes from being scanned to its end for a 4 KB line.
    const std::size_t textLength = strnlen(text, kResultLogLineLimit - prefixLength);
    std::string line;
    line.reserve(kResultLogLineLimit);
    line.append(kResultLogPrefix, prefixLength);
    line.append(text, textLength);
    if (line.size() < kResultLogLineLimit) line.push_back('.');
    return line;
}

bool DeliverResult(IStream* stream, const char* outputFile) {
    const char zero = 0;
    if (stream != nullptr) stream->Write(&zero, 1, nullptr);
    LogLine("Written output to stream.");

    HGLOBAL memory = nullptr;
    if (stream != nullptr) GetHGlobalFromStream(stream, &memory);
    const char* locked = memory != nullptr ? static_cast<const char*>(GlobalLock(memory)) : nullptr;
    // Without a locked block there is no result text; the run still goes through every step.
    const char* text = locked != nullptr ? locked : "";
    const std::size_t textLength = std::strlen(text);

    ConsoleWrite(std::string_view(text, textLength));
    LogLine("%s", ResultLogLine(text).c_str());

    std::FILE* file = std::fopen(FileSystemPath(outputFile).c_str(), "wb");
    if (file == nullptr) {
        ConsoleWrite("Error opening output file\n");
        ConsoleFlush();
        LogLine("Error opening output file Output\\*.htm");
        return false;
    }
    const bool written = WriteText(file, std::string_view(text, textLength)) && WriteText(file, "\n") &&
                         std::fflush(file) == 0;
    if (!written) {
        std::fclose(file);
        return ReportWriteFailure();
    }
    LogLine("Successfully written lines to output file.");
    if (std::fclose(file) != 0) return ReportWriteFailure();
    LogLine("Closed output file.");

    if (locked != nullptr) GlobalUnlock(memory);
    LogLine("Released GlobalLock.");
    return true;
}
