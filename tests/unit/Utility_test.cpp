#include "Core_Common/Utility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using namespace Core_Common;

TEST(BytesToHex, LowercaseDigitsHighNibbleFirstWithoutSeparators) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x1A, 0xFE};
    EXPECT_EQ(bytes_to_hex(bytes), "001afe");
    EXPECT_EQ(bytes_to_hex({}), "");
    const std::vector<std::uint8_t> mac = {0x02, 0xab, 0xcd, 0xef, 0x10, 0x99};
    EXPECT_EQ(bytes_to_hex(mac), "02abcdef1099");
}

TEST(SystemErrorText, BracketedSignedCodeThenSystemText) {
    const std::wstring text = system_error_text(5);
    ASSERT_GT(text.size(), 4u);
    EXPECT_EQ(text.substr(0, 4), L"[5] ");
#ifdef _WIN32
    // The system's message keeps its own line end.
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
#else
    EXPECT_EQ(text, L"[5] Input/output error");
#endif

    const std::wstring negative = system_error_text(0xFFFFFFFEu);
    EXPECT_EQ(negative.substr(0, 5), L"[-2] ");

    EXPECT_EQ(system_error_text(0).substr(0, 4), L"[0] ");
}

TEST(WideToNarrow, EmptyAndPlainText) {
    EXPECT_EQ(wide_to_narrow(L"", code_page_ansi), "");
    EXPECT_EQ(wide_to_narrow(L"Service Stop successed.", code_page_ansi),
              "Service Stop successed.");
}

TEST(WideToNarrow, EmbeddedNulPassesThrough) {
    const std::wstring text(L"a\0b", 3);
    const std::string narrow = wide_to_narrow(text, code_page_ansi);
    ASSERT_EQ(narrow.size(), 3u);
    EXPECT_EQ(narrow[1], '\0');
    EXPECT_EQ(narrow[2], 'b');
}

TEST(WideToNarrow, TextOutsideTheCodePageIsReplacedNotDropped) {
    // Characters the narrow code page may lack still produce output, never an empty string.
    const std::string narrow = wide_to_narrow(L"x\u670D\u52A1y", code_page_ansi);
    ASSERT_GE(narrow.size(), 4u);
    EXPECT_EQ(narrow.front(), 'x');
    EXPECT_EQ(narrow.back(), 'y');
}

TEST(NarrowToWide, RoundTripsTheNarrowCodePage) {
    const std::wstring text = L"Tarnwick AntiARP";
    EXPECT_EQ(narrow_to_wide(wide_to_narrow(text, code_page_ansi), code_page_ansi), text);
    EXPECT_EQ(narrow_to_wide("", code_page_ansi), L"");
}

TEST(ModuleFilePath, NamesTheRunningTestProgram) {
    const std::wstring path = module_file_path();
    ASSERT_FALSE(path.empty());
    EXPECT_NE(path.find(L"unit_tests"), std::wstring::npos);
}

TEST(LocalCalendarTime, GivesAValidTimeOfDay) {
    const std::tm local = local_calendar_time(0);
    EXPECT_GE(local.tm_hour, 0);
    EXPECT_LT(local.tm_hour, 24);
    EXPECT_GE(local.tm_year, 69); // 1969 or 1970, depending on the zone
}

} // namespace

#ifndef _WIN32
namespace {

TEST(WideToNarrowLinux, NarrowTextIsUtf8AndOtherBytesComeBackUnchanged) {
    using namespace Core_Common;
    EXPECT_EQ(wide_to_narrow(L"\uFF0C", code_page_ansi), "\xEF\xBC\x8C");
    EXPECT_EQ(wide_to_narrow(L"\U0001F600", code_page_ansi), "\xF0\x9F\x98\x80");
    // A surrogate that stands for no byte has no narrow form.
    const std::wstring invalid = {L'a', static_cast<wchar_t>(0xD800), L'b'};
    EXPECT_EQ(wide_to_narrow(invalid, code_page_ansi), "a?b");
    EXPECT_EQ(narrow_to_wide("\xEF\xBC\x8C", code_page_ansi), L"\uFF0C");
    // Each byte outside valid UTF-8 becomes U+DC80..U+DCFF, never a character of the text.
    EXPECT_EQ(narrow_to_wide("a\xC3", code_page_ansi), (std::wstring{L'a', wchar_t(0xDCC3)}));
    for (const std::string bytes : {"a\xC3", "\xC0\x80", "\xFF?", "\x80x", "\xED\xA0\x80",
                                    "\xF4\x90\x80\x80", "/tmp/\xE9t\xE9/antiarp"}) {
        const std::wstring wide = narrow_to_wide(bytes, code_page_ansi);
        EXPECT_EQ(wide_to_narrow(wide, code_page_ansi), bytes);
        EXPECT_EQ(std::count(wide.begin(), wide.end(), L'?'),
                  std::count(bytes.begin(), bytes.end(), '?'));
    }
}

} // namespace
#endif
