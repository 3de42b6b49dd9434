#include "Core_Service/SystemLog.h"

#include "Core_Service/LogHelper.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

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

// Each kind has its own stable identifiers; a line of no kind is told by its severity, an error
// line being of the kind error.
TEST(SystemLogIdentifiers, EachKindHasItsOwnEventIdAndMessageId) {
    using Core_Service::EventFields;
    using Core_Service::EventKind;
    struct Case {
        EventKind kind;
        Severity severity;
        std::uint32_t eventId;
    };
    const Case cases[] = {
        {EventKind::none, Severity::information, 1},
        {EventKind::none, Severity::warning, 2},
        {EventKind::none, Severity::error, 3},
        {EventKind::error, Severity::error, 3},
        {EventKind::pinned, Severity::information, 10},
        {EventKind::conflict, Severity::warning, 11},
        {EventKind::impostor, Severity::warning, 12},
        {EventKind::replaced, Severity::warning, 13},
        {EventKind::attack, Severity::warning, 14},
    };
    std::set<std::string> messageIds;
    for (const Case& c : cases) {
        EXPECT_EQ(Core_Service::EventIdOf(c.severity, EventFields{c.kind}), c.eventId)
            << Core_Service::IdentifierOf(c.kind).name;
        const std::string id =
            Core_Service::IdentifierOf(Core_Service::KindOf(c.severity, EventFields{c.kind}))
                .messageId;
        if (Core_Service::KindOf(c.severity, EventFields{c.kind}) == EventKind::none) {
            EXPECT_EQ(id, "");
            continue;
        }
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        messageIds.insert(id);
    }
    EXPECT_EQ(messageIds.size(), 6u); // error's twice, each other kind's once
}

// One line as an entry of the journal's native protocol: a field a line, a value with a line
// end in the binary form.
TEST(SystemLogJournal, EntryHoldsTheLineItsPriorityAndItsFields) {
    const Core_Service::EventFields fields{Core_Service::EventKind::attack, "eth0", "10.0.0.1",
                                           "02:00:00:00:00:66"};
    EXPECT_EQ(Core_Service::JournalEntry("[WARN][SocketARP]forged", Severity::warning, fields,
                                         "antiarp", "tarnwick-antiarp.service"),
              "MESSAGE=[WARN][SocketARP]forged\n"
              "PRIORITY=4\n"
              "SYSLOG_IDENTIFIER=antiarp\n"
              "MESSAGE_ID=d92009a612af4d6d934d3114f26dca34\n"
              "TARNWICK_LINK=eth0\n"
              "TARNWICK_GATEWAY=10.0.0.1\n"
              "TARNWICK_MAC=02:00:00:00:00:66\n"
              "OBJECT_SYSTEMD_UNIT=tarnwick-antiarp.service\n");
    EXPECT_EQ(Core_Service::JournalEntry("a\nb", Severity::information, {}, "", ""),
              std::string("MESSAGE\n\x03\0\0\0\0\0\0\0a\nb\nPRIORITY=6\n", 31));
}

} // namespace
