// The test run: one transformation through the platform's XML service, from the banner line to
// the closing key press.
#pragma once

// What tells the two programs apart.
struct Deliverable {
    // The run log's first line of every run.
    const char* banner;
    // The output file, written with '\' separators as in the messages.
    const char* outputFile;
};

// Runs the test once in the working directory and returns the exit status: 0 after a complete
// run, -1 when the output file cannot be opened or written, when a platform call fails after
// the two guarded stages, or when any step raises another exception (no memory, say). A failure
// a guarded stage reports (the loading or the style-sheet stage) ends the process with exit(-1)
// instead. Every failure leaves its error line on the console and in the run log. Reads one
// character from the standard input before returning 0.
int RunTest(const Deliverable& deliverable);
