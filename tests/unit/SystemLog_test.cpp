#include "Core_Service/SystemLog.h"

#include "Core_Service/LogHelper.h"

#include <gtest/gtest.h>

namespace {

using Core_Service::JournalPriority;
using Core_Service::JournalStreamNames;
using Core_Service::Severity;
using Core_Service::SeverityOfLevel;
using Core_Service::WithLinePriority;

TEST(SystemLogPriority, ErrorAndWarnAreProblemsEveryOtherLevelIsInformation) {
    EXPECT_EQ(SeverityOfLevel(Core_Service::log_error), Severity::error);
    EXPECT_EQ(SeverityOfLevel(Core_Service::log_warn), Severity::warning);
    EXPECT_EQ(SeverityOfLevel(Core_Service::log_normal), Severity::information);
    EXPECT_EQ(SeverityOfLevel(3), Severity::information);
    EXPECT_EQ(JournalPriority(Severity::error), 3);
    EXPECT_EQ(JournalPriority(Severity::warning), 4);
    EXPECT_EQ(JournalPriority(Severity::information), 6);
}

TEST(SystemLogJournal, StreamMatchesOnlyItsOwnDeviceAndInode) {
    EXPECT_TRUE(JournalStreamNames("8:1234", 8, 1234));
    EXPECT_TRUE(JournalStreamNames("18446744073709551615:1", 18446744073709551615ull, 1));
    EXPECT_FALSE(JournalStreamNames("8:1234", 8, 1235));
    EXPECT_FALSE(JournalStreamNames("8:1234", 9, 1234));
    for (const char* bad : {"", ":", "8:", ":1234", "8", "8:1234x", "8:1234:5", " 8:1234", "8:-1",
                            "8:+1234", "18446744073709551616:1234"}) {
        EXPECT_FALSE(JournalStreamNames(bad, 8, 1234)) << bad;
    }
}

TEST(SystemLogJournal, EveryLineCarriesThePriority) {
    EXPECT_EQ(WithLinePriority("[0]ARP Error [113] No route to host\n\n", 3),
              "<3>[0]ARP Error [113] No route to host\n<3>\n");
    EXPECT_EQ(WithLinePriority("a\r\nb", 6), "<6>a\r\n<6>b");
    EXPECT_EQ(WithLinePriority("", 4), "");
}

} // namespace
