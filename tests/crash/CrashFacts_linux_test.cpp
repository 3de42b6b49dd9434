// The Linux crash facts' parsers of /proc/<pid>/maps, /proc/<pid>/stat and /etc/passwd text.
#include "Core_Common/linux/CrashFacts_linux.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace cr = Core_Common::crash_report;

TEST(LinuxProcFiles, MapsLineGivesRangeAndPath) {
    const char line[] = "55d0c4a00000-55d0c4a21000 r-xp 00002000 fd:01 1234567    "
                        "/opt/tw/bin/antiarp\n";
    cr::maps_entry entry;
    ASSERT_TRUE(cr::parse_maps_line(line, std::strlen(line), entry));
    EXPECT_EQ(entry.start, 0x55d0c4a00000u);
    EXPECT_EQ(entry.end, 0x55d0c4a21000u);
    EXPECT_EQ(std::string(entry.path, entry.path_length), "/opt/tw/bin/antiarp");
}

TEST(LinuxProcFiles, AnonymousMapsLineHasAnEmptyPath) {
    const char line[] = "7ffd1000-7ffd3000 rw-p 00000000 00:00 0 ";
    cr::maps_entry entry;
    ASSERT_TRUE(cr::parse_maps_line(line, std::strlen(line), entry));
    EXPECT_EQ(entry.path_length, 0u);
    const char stack[] = "7ffd1000-7ffd3000 rw-p 00000000 00:00 0                  [stack]";
    ASSERT_TRUE(cr::parse_maps_line(stack, std::strlen(stack), entry));
    EXPECT_EQ(std::string(entry.path, entry.path_length), "[stack]");
}

TEST(LinuxProcFiles, MalformedMapsLinesAreRejected) {
    cr::maps_entry entry;
    for (const char* line : {"", "zzzz-1000 r-xp 0 0 0 /x", "1000 r-xp 0 0 0", "1000-2000 r-xp"}) {
        EXPECT_FALSE(cr::parse_maps_line(line, std::strlen(line), entry)) << line;
    }
}

TEST(LinuxProcFiles, StatStartTimeIsField22EvenWithParenthesesInTheName) {
    const char stat[] = "4242 (odd) name)) S 1 4242 4242 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 "
                        "3 0 987654 12345678 300 18446744073709551615";
    std::uint64_t ticks = 0;
    ASSERT_TRUE(cr::parse_stat_start_ticks(stat, std::strlen(stat), ticks));
    EXPECT_EQ(ticks, 987654u);
    const char shortStat[] = "1 (init) S 0 1 1";
    EXPECT_FALSE(cr::parse_stat_start_ticks(shortStat, std::strlen(shortStat), ticks));
}

TEST(LinuxProcFiles, PasswdGivesTheNameOfTheUid) {
    const char passwd[] = "root:x:0:0:root:/root:/bin/bash\n"
                          "daemon:x:1:1::/usr/sbin:/usr/sbin/nologin\n"
                          "broken line\n"
                          "tarn:x:1000:1000:Tarn,,,:/home/tarn:/bin/bash";
    const char* name = nullptr;
    std::size_t length = 0;
    ASSERT_TRUE(cr::find_passwd_user(passwd, std::strlen(passwd), 1000, name, length));
    EXPECT_EQ(std::string(name, length), "tarn");
    ASSERT_TRUE(cr::find_passwd_user(passwd, std::strlen(passwd), 0, name, length));
    EXPECT_EQ(std::string(name, length), "root");
    EXPECT_FALSE(cr::find_passwd_user(passwd, std::strlen(passwd), 10, name, length));
}
