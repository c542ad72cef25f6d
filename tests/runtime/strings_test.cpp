#include "test_objects.h"

#include <cstring>
#include <string>

namespace {

using StringsTest = RuntimeTest;

TEST_F(StringsTest, WideStringsCarryTheirLengthAndAnEmbeddedNul) {
    const OLECHAR text[] = u"ab\0cd";
    BSTR copy = SysAllocStringLen(text, 5);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(SysStringLen(copy), 5u);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(copy) - 4, 4);
    EXPECT_EQ(prefix, 10u) << "the prefix holds the length in bytes";
    EXPECT_EQ(copy[5], u'\0');
    SysFreeString(copy);

    BSTR whole = SysAllocString(u"hello");
    EXPECT_EQ(SysStringLen(whole), 5u);
    SysFreeString(whole);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST_F(StringsTest, NarrowTextConvertsThroughUtf8) {
    struct Case {
        const char* narrow;
        std::u16string wide;
    };
    const Case cases[] = {
        {"", u""},
        {"Input\\books.xml", u"Input\\books.xml"},
        {"35", u"35"},
        {"caf\xC3\xA9", u"café"},
        {"\xE2\x82\xAC", u"€"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.narrow);
        const _bstr_t text(c.narrow);
        ASSERT_NE(text.GetBSTR(), nullptr);
        EXPECT_EQ(std::u16string(text.GetBSTR(), text.length()), c.wide);
        EXPECT_STREQ(static_cast<const char*>(text), c.narrow) << "and back again";
        const _variant_t variant(c.narrow);
        EXPECT_EQ(variant.vt, VT_BSTR);
        EXPECT_EQ(std::u16string(variant.bstrVal, SysStringLen(variant.bstrVal)), c.wide);
    }
}

TEST_F(StringsTest, InvalidUtf8RaisesNoUnicodeTranslation) {
    const char* cases[] = {
        "\xC3",              // truncated
        "a\x80z",            // stray continuation byte
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xED\xA0\x80",      // a surrogate
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xFF",              // never valid
        "\xE2\x82",          // cut short at the end
    };
    for (const char* narrow : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(narrow)));
        SetLastError(0);
        try {
            _variant_t variant(narrow);
            ADD_FAILURE() << "no error raised";
        } catch (const _com_error& error) {
            EXPECT_EQ(error.Error(), static_cast<HRESULT>(0x80070459));
            EXPECT_EQ(error.ErrorInfo(), nullptr);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST_F(StringsTest, UnpairedSurrogatesDoNotBecomeNarrowText) {
    const OLECHAR lone[] = {u'a', 0xD800, u'b', 0};
    const _bstr_t text(lone);
    try {
        (void)static_cast<const char*>(text);
        FAIL() << "no error raised";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
    }
}

TEST_F(StringsTest, ANullStringStaysNull) {
    const _bstr_t none(static_cast<const char*>(nullptr));
    EXPECT_EQ(none.GetBSTR(), nullptr);
    EXPECT_EQ(static_cast<const char*>(none), nullptr);
    EXPECT_EQ(none.length(), 0u);
}

TEST_F(StringsTest, SharedStringsAndVariantsOwnTheirCopies) {
    _bstr_t first("shared");
    _bstr_t second = first;
    EXPECT_EQ(first.GetBSTR(), second.GetBSTR()) << "copies share one string";
    BSTR detached = second.Detach();
    EXPECT_NE(detached, first.GetBSTR()) << "detaching a shared string copies it";
    EXPECT_EQ(std::u16string(detached), u"shared");
    SysFreeString(detached);

    _variant_t original(first);
    _variant_t copy(original);
    EXPECT_NE(copy.bstrVal, original.bstrVal);
    original.Clear();
    EXPECT_EQ(original.vt, VT_EMPTY);
    EXPECT_EQ(std::u16string(copy.bstrVal), u"shared");

    const _variant_t number(35);
    EXPECT_EQ(number.vt, VT_I4);
    EXPECT_EQ(number.lVal, 35);
    const _variant_t flag(true);
    EXPECT_EQ(flag.vt, VT_BOOL);
    EXPECT_EQ(flag.boolVal, VARIANT_TRUE);
    const _variant_t real(3.5);
    EXPECT_EQ(real.vt, VT_R8);
}

TEST(ResultCodes, SystemErrorsBecomeFailures) {
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), static_cast<HRESULT>(0x80070459));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), static_cast<HRESULT>(0x80070008));
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL) << "a result code stays as it is";
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

}  // namespace
