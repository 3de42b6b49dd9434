// Standard output as the journal: only while $JOURNAL_STREAM names the file that standard output
// is, the lines go to the journal's socket (here one of the test's own) as entries with their
// priority and fields; when the socket does not take them, to standard output with their
// priority.
#include "Core_Service/LogHelper.h"
#include "Core_Service/SystemLog.h"
#include "Core_Service/linux/SystemLog_linux.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Core_Service::Severity;
using Core_Service::WriteLines;

// A datagram socket in the place of the journal's.
class TestJournal {
public:
    TestJournal() : path_(testing::TempDir() + "journal." + std::to_string(getpid())) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        unlink(path_.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~TestJournal() {
        close(fd_);
        unlink(path_.c_str());
    }
    TestJournal(const TestJournal&) = delete;
    TestJournal& operator=(const TestJournal&) = delete;

    const std::string& Path() const { return path_; }

    // The entries received, without the unit's field, which only a test run as a service has.
    std::vector<std::string> Entries() {
        std::vector<std::string> entries;
        std::array<char, 4096> buffer{};
        for (ssize_t length = 0;
             (length = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0;) {
            std::string entry(buffer.data(), static_cast<std::size_t>(length));
            if (const std::size_t unit = entry.find("OBJECT_SYSTEMD_UNIT=");
                unit != std::string::npos) {
                entry.erase(unit, entry.find('\n', unit) + 1 - unit);
            }
            entries.push_back(entry);
        }
        return entries;
    }

private:
    std::string path_;
    int fd_ = -1;
};

TEST(JournalOutput, LinesAreEntriesOfTheJournalOnlyWhenOutputIsTheJournal) {
    TestJournal journal;
    // Before anything could reach the machine's own journal.
    Core_Service::UseJournalSocket(journal.Path());
    const Core_Service::LogHelper reports(L"SocketARP");
    testing::internal::CaptureStdout();
    struct stat output {};
    ASSERT_EQ(fstat(STDOUT_FILENO, &output), 0);
    const std::string stream = std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino);
    ASSERT_EQ(setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
    const Core_Service::EventFields attack{Core_Service::EventKind::attack, "eth0", "10.0.0.1",
                                           "02:00:00:00:00:66"};
    reports.WriteLog(Core_Service::log_warn, 0, L"forged", attack);
    reports.WriteLog(Core_Service::log_error, 5, L"[5] Input/output error\n");
    WriteLines(Severity::information, "pinned\n");
    const std::vector<std::string> entries = journal.Entries();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(entries.size(), 3u); // the error text's own line end adds no entry
    const std::string identifier = program_invocation_short_name;
    EXPECT_EQ(entries[0], Core_Service::JournalEntry("[WARN][SocketARP]forged", Severity::warning,
                                                     attack, identifier, ""));
    EXPECT_EQ(entries[1],
              Core_Service::JournalEntry("[ERROR][SocketARP][ error_code = 5 ] [5] Input/output "
                                         "error",
                                         Severity::error, {}, identifier, ""));
    EXPECT_NE(entries[1].find("\nMESSAGE_ID=fb55b015300a4b7399c81237c6577793\n"),
              std::string::npos);
    EXPECT_EQ(entries[2],
              Core_Service::JournalEntry("pinned", Severity::information, {}, identifier, ""));

    // The journal gone: the lines reach it through standard output, with their priority.
    Core_Service::UseJournalSocket(journal.Path() + ".gone");
    testing::internal::CaptureStdout();
    reports.WriteLog(Core_Service::log_warn, 0, L"conflict", attack);
    WriteLines(Severity::information, "pinned\n");
    const std::string otherFile =
        std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino + 1);
    ASSERT_EQ(setenv("JOURNAL_STREAM", otherFile.c_str(), 1), 0);
    WriteLines(Severity::error, "to a console\n");
    ASSERT_EQ(unsetenv("JOURNAL_STREAM"), 0);
    WriteLines(Severity::error, "to a console\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "<4>[WARN][SocketARP]conflict\n"
                                                      "<6>pinned\n"
                                                      "to a console\nto a console\n");
    EXPECT_TRUE(journal.Entries().empty());
}

} // namespace
