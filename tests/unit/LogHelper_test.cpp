#include "Core_Service/LogHelper.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Core_Service::LogHelper;

TEST(LogHelperLine, CodeZeroHasNoCodePart) {
    LogHelper helper(L"ServiceDispatcher");
    EXPECT_EQ(helper.FormatLogLine(0, 0, L"started"), "[NORMAL][ServiceDispatcher]started\n");
    EXPECT_EQ(helper.FormatLogLine(1, 0, L""), "[WARN][ServiceDispatcher]\n");
}

TEST(LogHelperLine, OtherCodesAreUnsignedDecimal) {
    LogHelper helper(L"ServiceDispatcher");
    EXPECT_EQ(helper.FormatLogLine(2, 2, L"[2] not found\r\n"),
              "[ERROR][ServiceDispatcher][ error_code = 2 ] [2] not found\r\n\n");
    EXPECT_EQ(helper.FormatLogLine(2, 0xFFFFFFFEu, L"m"),
              "[ERROR][ServiceDispatcher][ error_code = 4294967294 ] m\n");
}

TEST(LogHelperLine, UnknownLevelHasAnEmptyName) {
    LogHelper helper(L"M");
    EXPECT_EQ(helper.FormatLogLine(3, 0, L"x"), "[][M]x\n");
    EXPECT_EQ(helper.FormatLogLine(-1, 0, L"x"), "[][M]x\n");
}

TEST(LogHelperWrite, SilentCodePrintsNothingOthersPrintTheLine) {
    LogHelper helper(L"ServiceDispatcher");
    testing::internal::CaptureStdout();
    helper.WriteLog(1, 0xFFFFFFFFu, L"hidden");
    helper.WriteLog(0, 0, L"shown");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[NORMAL][ServiceDispatcher]shown\n");
}

TEST(LogHelperWrite, ConcurrentLinesStayWhole) {
    LogHelper helper(L"ServiceDispatcher");
    const std::wstring message(200, L'x');
    constexpr int threads = 4;
    constexpr int lines_each = 200;
    testing::internal::CaptureStdout();
    std::vector<std::thread> writers;
    writers.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines_each; ++i) {
                helper.WriteLog(t % 3, 0, message);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    std::istringstream output(testing::internal::GetCapturedStdout());
    std::string line;
    int count = 0;
    const std::string tail = "][ServiceDispatcher]" + std::string(200, 'x');
    while (std::getline(output, line)) {
        ++count;
        ASSERT_TRUE(line == "[NORMAL" + tail || line == "[WARN" + tail || line == "[ERROR" + tail)
            << line;
    }
    EXPECT_EQ(count, threads * lines_each);
}

} // namespace
