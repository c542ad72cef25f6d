#include "test_objects.h"

#include <cstring>
#include <limits>
#include <string>

namespace {

using StreamTest = RuntimeTest;

std::string BlockContent(HGLOBAL block) {
    const auto* data = static_cast<const char*>(GlobalLock(block));
    std::string content(data, GlobalSize(block));
    GlobalUnlock(block);
    return content;
}

TEST_F(StreamTest, ManySmallWritesLandInOneBlockHoldingExactlyTheWrittenBytes) {
    IStreamPtr stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    std::string expected;
    for (int i = 0; i < 200000; ++i) {
        const std::string piece = std::to_string(i) + ",";
        ULONG written = 0;
        ASSERT_EQ(stream->Write(piece.data(), static_cast<ULONG>(piece.size()), &written), S_OK);
        ASSERT_EQ(written, piece.size());
        expected += piece;
    }
    ASSERT_EQ(stream->Write("", 1, nullptr), S_OK);  // the terminating zero, no count asked for
    expected.push_back('\0');

    HGLOBAL block = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
    EXPECT_EQ(GlobalSize(block), expected.size());
    EXPECT_EQ(BlockContent(block), expected);

    STATSTG statistics{};
    ASSERT_EQ(stream->Stat(&statistics, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(statistics.cbSize.QuadPart, expected.size());
    EXPECT_EQ(statistics.type, STGTY_STREAM);
}

TEST_F(StreamTest, ABlockGrownToTensOfMegabytesKeepsEveryByteAndZerosItsGaps) {
    // Past a megabyte the block changes how it grows; the bytes written before, the bytes of
    // each step and a gap left by seeking past the end must all come through.
    IStreamPtr stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    std::string expected;
    std::string piece(65536 + 7, '\0');
    for (int i = 0; expected.size() < (std::size_t{40} << 20); ++i) {
        for (std::size_t j = 0; j < piece.size(); ++j) piece[j] = static_cast<char>('a' + (i * 7 + j) % 26);
        ASSERT_EQ(stream->Write(piece.data(), static_cast<ULONG>(piece.size()), nullptr), S_OK);
        expected += piece;
        if (i % 100 == 0) {
            ASSERT_EQ(stream->Seek(LARGE_INTEGER{3000}, STREAM_SEEK_CUR, nullptr), S_OK);
            ASSERT_EQ(stream->Write("!", 1, nullptr), S_OK);
            expected += std::string(3000, '\0') + "!";
        }
    }
    HGLOBAL block = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
    EXPECT_EQ(GlobalSize(block), expected.size());
    EXPECT_TRUE(BlockContent(block) == expected);

    // Shrunk and grown again, the block is zero past where it was cut.
    ASSERT_EQ(stream->SetSize(ULARGE_INTEGER{5}), S_OK);
    ASSERT_EQ(stream->SetSize(ULARGE_INTEGER{expected.size() * 2}), S_OK);
    EXPECT_TRUE(BlockContent(block) == expected.substr(0, 5) + std::string(expected.size() * 2 - 5, '\0'));
}

TEST_F(StreamTest, SeekReadAndOverwrite) {
    IStreamPtr stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(stream->Write("hello world", 11, nullptr), S_OK);

    ULARGE_INTEGER position{};
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{6}, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 6u);
    ASSERT_EQ(stream->Write("there", 5, nullptr), S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{-11}, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 0u);

    char buffer[32] = {};
    ULONG read = 0;
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &read), S_FALSE) << "fewer bytes than asked for";
    EXPECT_EQ(std::string(buffer, read), "hello there");
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{-1}, STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
    // Moves past the ends of the signed range are refused and leave the position where it was.
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{std::numeric_limits<LONGLONG>::max()}, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{1}, STREAM_SEEK_CUR, nullptr), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(LARGE_INTEGER{std::numeric_limits<LONGLONG>::min()}, STREAM_SEEK_END, nullptr),
              STG_E_INVALIDFUNCTION);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max()));
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);

    // A write past the end leaves zeros in the gap.
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{2}, STREAM_SEEK_END, nullptr), S_OK);
    ASSERT_EQ(stream->Write("!", 1, nullptr), S_OK);
    HGLOBAL block = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
    EXPECT_EQ(BlockContent(block), std::string("hello there\0\0!", 14));

    ASSERT_EQ(stream->SetSize(ULARGE_INTEGER{5}), S_OK);
    EXPECT_EQ(BlockContent(block), "hello");
}

TEST_F(StreamTest, LocksAreCountedAndALockedBlockDoesNotMove) {
    IStreamPtr stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(stream->Write("abc", 4, nullptr), S_OK);
    HGLOBAL block = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(stream, &block), S_OK);

    void* first = GlobalLock(block);
    void* second = GlobalLock(block);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(static_cast<const char*>(first), "abc");
    EXPECT_EQ(GlobalUnlock(block), TRUE) << "still locked once";

    // Growing far beyond the block would move it; a locked block refuses.
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(stream->Write(big.data(), static_cast<ULONG>(big.size()), nullptr), STG_E_MEDIUMFULL);
    EXPECT_STREQ(static_cast<const char*>(first), "abc");

    EXPECT_EQ(GlobalUnlock(block), FALSE) << "unlocked now";
    EXPECT_EQ(GlobalUnlock(block), FALSE);
    EXPECT_EQ(stream->Write(big.data(), static_cast<ULONG>(big.size()), nullptr), S_OK);
}

TEST_F(StreamTest, DeleteOnReleaseDecidesWhoFreesTheBlock) {
    // With delete-on-release the final Release frees the block (the sanitizer and valgrind
    // runs would report a leak otherwise); without it the block outlives the stream.
    IStream* owning = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &owning), S_OK);
    ASSERT_EQ(owning->Write("data", 4, nullptr), S_OK);
    EXPECT_EQ(owning->Release(), 0u);

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 3);
    ASSERT_NE(block, nullptr);
    IStream* borrowing = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(block, FALSE, &borrowing), S_OK);
    ASSERT_EQ(borrowing->Write("xyz!", 4, nullptr), S_OK);
    HGLOBAL same = nullptr;
    ASSERT_EQ(GetHGlobalFromStream(borrowing, &same), S_OK);
    EXPECT_EQ(same, block);
    EXPECT_EQ(borrowing->Release(), 0u);
    EXPECT_EQ(BlockContent(block), "xyz!");
    EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST_F(StreamTest, OnlyMemoryStreamsHaveABlock) {
    HGLOBAL block = reinterpret_cast<HGLOBAL>(1);
    EXPECT_EQ(GetHGlobalFromStream(nullptr, &block), E_INVALIDARG);
    EXPECT_EQ(block, nullptr);
}

}  // namespace
