// Standard output as the journal: the lines carry their priority only while $JOURNAL_STREAM
// names the file that standard output is.
#include "Core_Service/LogHelper.h"
#include "Core_Service/SystemLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Core_Service::Severity;
using Core_Service::WriteLines;

TEST(JournalOutput, LinesCarryTheirPriorityOnlyWhenOutputIsTheJournal) {
    const Core_Service::LogHelper reports(L"SocketARP");
    testing::internal::CaptureStdout();
    struct stat output {};
    ASSERT_EQ(fstat(STDOUT_FILENO, &output), 0);
    const std::string stream = std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino);
    ASSERT_EQ(setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
    reports.WriteLog(Core_Service::log_warn, 0, L"conflict");
    reports.WriteLog(Core_Service::log_error, 5, L"denied");
    WriteLines(Severity::information, "pinned\n");
    const std::string otherFile =
        std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino + 1);
    ASSERT_EQ(setenv("JOURNAL_STREAM", otherFile.c_str(), 1), 0);
    WriteLines(Severity::error, "to a console\n");
    ASSERT_EQ(unsetenv("JOURNAL_STREAM"), 0);
    WriteLines(Severity::error, "to a console\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "<4>[WARN][SocketARP]conflict\n"
              "<3>[ERROR][SocketARP][ error_code = 5 ] denied\n"
              "<6>pinned\n"
              "to a console\nto a console\n");
}

} // namespace
