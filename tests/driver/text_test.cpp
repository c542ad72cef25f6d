// The pieces of delivery whose limits the end-to-end cases cannot pin down exactly.
#include "result_delivery.h"
#include "text_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

// What WriteText stores for `text`.
std::string Stored(const std::string& text) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    EXPECT_TRUE(WriteText(file, text));
    std::string stored(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(stored.data(), 1, stored.size(), file), stored.size());
    std::fclose(file);
    return stored;
}

TEST(WriteText, StoresEveryLineFeedAsCrLf) {
    const struct {
        const char* text;
        const char* stored;
    } cases[] = {
        {"", ""},
        {"no line end", "no line end"},
        {"\n", "\r\n"},
        {"\n\nend", "\r\n\r\nend"},
        {"one\ntwo\n", "one\r\ntwo\r\n"},
        {"kept\r\n", "kept\r\r\n"},
        {"lone\rcarriage return", "lone\rcarriage return"},
    };
    for (const auto& c : cases) EXPECT_EQ(Stored(c.text), c.stored) << "for " << testing::PrintToString(c.text);
}

TEST(WriteText, LargeTextKeepsEveryByte) {
    std::string text;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = "line " + std::to_string(i);
        text += line + "\n";
        expected += line + "\r\n";
    }
    EXPECT_EQ(Stored(text), expected);
}

TEST(WriteText, RunsOfEveryLengthAroundItsBlocks) {
    // Runs between line feeds as long as, or around, the blocks the text is written in, so
    // that a run or a line end meets every edge of a block.
    std::string text;
    std::string expected;
    for (const std::size_t length : {0, 1, 32767, 32768, 32769, 65533, 65534, 65535, 65536, 65537, 200000}) {
        for (const std::size_t lead : {0, 1, 2}) {
            const std::string run = std::string(lead, 'a') + std::string(length, static_cast<char>('b' + length % 7));
            text += run + "\n";
            expected += run + "\r\n";
        }
    }
    text += std::string(70000, 'z');
    expected += std::string(70000, 'z');
    EXPECT_EQ(Stored(text), expected);
}

TEST(WriteText, ReportsAStreamThatTakesNothing) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_FALSE(WriteText(full, "lost\n"));
    std::fclose(full);
}

TEST(FileSystemPath, ReplacesBackslashes) {
    EXPECT_EQ(FileSystemPath("Output\\Brendle4.htm"), "Output/Brendle4.htm");
    EXPECT_EQ(FileSystemPath("plain"), "plain");
}

TEST(ResultLogLine, CutsAt3999BytesAndKeepsTheFullStopOnlyWhenItFits) {
    const struct {
        std::size_t textLength;
        std::size_t kept;
        bool fullStop;
    } cases[] = {
        {0, 0, true},
        {3987, 3987, true},
        {3988, 3988, false},
        {5000, 3988, false},
    };
    for (const auto& c : cases) {
        const std::string expected = "Output is: " + std::string(c.kept, 'x') + (c.fullStop ? "." : "");
        EXPECT_EQ(ResultLogLine(std::string(c.textLength, 'x').c_str()), expected) << "for a text of " << c.textLength;
    }
    EXPECT_EQ(ResultLogLine("100%s\n%d"), "Output is: 100%s\n%d.");
}

TEST(ResultLogLine, ReadsNoFurtherThanTheCut) {
    // No terminator after the bytes the line takes: reading on would go past the allocation,
    // which the sanitizer build reports.
    constexpr std::size_t kTaken = kResultLogLineLimit - sizeof "Output is: " + 1;
    const std::unique_ptr<char[]> text(new char[kTaken]);
    std::fill_n(text.get(), kTaken, 'y');
    EXPECT_EQ(ResultLogLine(text.get()), "Output is: " + std::string(kTaken, 'y'));
}

}  // namespace
