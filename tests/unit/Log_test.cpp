#include "Core_Common/Log.h"
#include "Core_Common/Utility.h"

#include "fakes/RecordingLogSink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

namespace {

using namespace Core_Common;
using tw_test::RecordingLogSink;

class LogModuleTest : public testing::Test {
protected:
    void SetUp() override { InterfaceLog::Create(); }
    void TearDown() override {
        InterfaceLog::Destroy();
        log_level_tags[log_level_debug].enabled = true;
        log_module_tags[log_module_server].enabled = true;
    }
    RecordingLogSink sink;
};

TEST(LogTags, EveryTagIsTwelveBracketedCharacters) {
    EXPECT_STREQ(log_module_tags[log_module_server].text, "[TWSPSERVER]");
    EXPECT_STREQ(log_level_tags[log_level_debug].text, "[DEBUG]     ");
    for (const auto& tag : log_module_tags) {
        ASSERT_EQ(std::strlen(tag.text), 12u) << tag.text;
        EXPECT_EQ(tag.text[0], '[') << tag.text;
        EXPECT_TRUE(tag.enabled);
    }
    for (const auto& tag : log_level_tags) {
        ASSERT_EQ(std::strlen(tag.text), 12u) << tag.text;
    }
}

TEST_F(LogModuleTest, DebugRecordReachesEverySinkAsRecordThenLine) {
    RecordingLogSink second;
    InterfaceLog::instance->sinks = {&sink, &second};
    LogDebug("Service Stop successed.");

    ASSERT_EQ(sink.Records().size(), 1u);
    const auto record = sink.Records()[0];
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(record.level, 1);
    EXPECT_EQ(record.module, 10);
    EXPECT_EQ(record.tag, "[TWSPSERVER]");
    EXPECT_EQ(record.text, "");
    EXPECT_EQ(record.value, 0);
    EXPECT_EQ(record.message, "Service Stop successed.");

    ASSERT_EQ(sink.Lines().size(), 1u);
    EXPECT_EQ(sink.LineKinds()[0], 1);
    const std::regex line(R"(1\d\d:\d\d:\d\d\.\d{6}\[TWSPSERVER\]Service Stop successed\.\r\n)");
    EXPECT_TRUE(std::regex_match(sink.Lines()[0], line)) << sink.Lines()[0];
    EXPECT_EQ(second.Lines(), sink.Lines());
}

TEST_F(LogModuleTest, MessageWithLineBreaksPassesUnchanged) {
    InterfaceLog::instance->sinks = {&sink};
    LogDebug("a\nb\r\nc");
    ASSERT_EQ(sink.Lines().size(), 1u);
    const std::string line = sink.Lines()[0];
    EXPECT_EQ(line.substr(line.size() - 9), "]a\nb\r\nc\r\n");
}

TEST_F(LogModuleTest, DisabledTagsOrNoInstanceFormatNothing) {
    InterfaceLog::instance->sinks = {&sink};
    log_level_tags[log_level_debug].enabled = false;
    LogDebug("x");
    log_level_tags[log_level_debug].enabled = true;
    log_module_tags[log_module_server].enabled = false;
    LogDebug("x");
    log_module_tags[log_module_server].enabled = true;
    EXPECT_TRUE(sink.Lines().empty());

    InterfaceLog::Destroy();
    LogDebug("x"); // no instance: nothing, no crash
    EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(LogModuleTest, NoSinksIsSilentAndKeepsNothingForALaterSink) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    LogDebug("nobody listens");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    InterfaceLog::instance->sinks = {&sink};
    LogDebug("heard");
    ASSERT_EQ(sink.Records().size(), 1u);
    EXPECT_EQ(sink.Records()[0].message, "heard");
    EXPECT_EQ(sink.Lines().size(), 1u);
}

TEST_F(LogModuleTest, ShutdownEmptiesSinksWithoutDeletingThem) {
    auto* owned = new RecordingLogSink();
    InterfaceLog::instance->sinks = {owned};
    InterfaceLog::Shutdown();
    EXPECT_TRUE(InterfaceLog::instance->sinks.empty());
    owned->WriteLine(1, "still alive"); // would be a use-after-free under ASan
    EXPECT_EQ(owned->Lines().size(), 1u);
    delete owned;
}

TEST_F(LogModuleTest, CreateTwiceReplacesTheInstance) {
    InterfaceLog::instance->sinks = {&sink};
    InterfaceLog::Create();
    ASSERT_NE(InterfaceLog::instance, nullptr);
    EXPECT_TRUE(InterfaceLog::instance->sinks.empty());
}

TEST_F(LogModuleTest, ContextTextIsEmptyOnEveryThread) {
    EXPECT_EQ(InterfaceLog::instance->ContextText(), "");
    std::string other = "unset";
    std::thread([&] { other = InterfaceLog::instance->ContextText(); }).join();
    EXPECT_EQ(other, "");
}

TEST(LogTime, SixFractionDigitsOfLocalTime) {
    using namespace std::chrono;
    const system_clock::time_point when{microseconds(1'000'000'000LL * 1'000'000 + 250)};
    const std::string text = format_log_time(when);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d\.000250)"))) << text;
    const std::tm local = local_calendar_time(1'000'000'000);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                  local.tm_sec);
    EXPECT_EQ(text.substr(0, 8), expected);
}

TEST(MemoryLog, ReportsNoMemoryLogAndLeavesTheOutputsAlone) {
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    std::uint32_t firstLength = 0;
    std::uint32_t secondLength = 7;
    GetMemoryLog(first, firstLength, second, secondLength);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(firstLength, 0u);
    EXPECT_EQ(secondLength, 7u);
}

} // namespace
