// Result delivery: the memory stream the processor writes into, and the result text handed to
// the console, the run log and the deliverable's output file.
#pragma once

#include "platform.h"

#include <string>

// The longest run-log line that carries the result text, in bytes before line-end translation.
inline constexpr std::size_t kResultLogLineLimit = 3999;

// Creates a memory stream over a block the platform allocates and frees on the stream's final
// release, then logs "CreateStreamOnHGlobal OK.". Returns the stream's one reference (empty if
// the platform gave none).
IStreamPtr CreateOutputStream();

// Terminates the text in `stream` with a zero byte and delivers it: to the console unchanged,
// to the run log as "Output is: <text>." cut at kResultLogLineLimit bytes, and to the file
// `outputFile` (written with '\' separators) followed by one line end. Returns false, after one
// console line and one log line, when the output file cannot be opened or written; the memory
// block then stays locked.
bool DeliverResult(IStream* stream, const char* outputFile);

// The run-log line for the result `text`: "Output is: <text>." cut at kResultLogLineLimit
// bytes. Reads no further into `text` than the cut.
std::string ResultLogLine(const char* text);
