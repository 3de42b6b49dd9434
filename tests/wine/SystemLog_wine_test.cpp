// The program's lines as Event Log events, through stand-ins for the Event Log's entry points
// that record each event and pass it on to the real functions (Wine's keep no log to read the
// events back from): the type by the line's severity, the identifier by its kind (else its
// severity), the line as the one string.
#include "Core_Common/Utility.h"
#include "Core_Service/LogHelper.h"
#include "Core_Service/SystemLog.h"
#include "Core_Service/win/SystemLog_win.h"
#include "Core_SocketARP/ArpBinding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Core_Service::Severity;
using testing::ElementsAre;
using testing::FieldsAre;

struct Event {
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::wstring> strings;
    bool realResult;
};

std::vector<std::wstring> sources;
std::vector<Event> events;

HANDLE WINAPI RecordingRegister(LPCWSTR server, LPCWSTR source) {
    sources.emplace_back(source);
    return RegisterEventSourceW(server, source);
}

BOOL WINAPI RecordingReport(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user,
                            WORD stringCount, DWORD dataSize, LPCWSTR* strings, LPVOID data) {
    const BOOL result =
        ReportEventW(log, type, category, eventId, user, stringCount, dataSize, strings, data);
    events.push_back({type, category, eventId, {strings, strings + stringCount}, result != 0});
    return result;
}

class EventLogLines : public testing::Test {
protected:
    void SetUp() override {
        api.registerEventSource = &RecordingRegister;
        api.reportEvent = &RecordingReport;
        sources.clear();
        events.clear();
    }

    void TearDown() override {
        Core_Service::CloseEventLogSource();
        api = Core_Service::EventLogApi{};
    }

    Core_Service::EventLogApi& api = Core_Service::SystemEventLogApi();
};

TEST_F(EventLogLines, EachLineIsAnEventOfItsKindOnceTheSourceIsOpen) {
    testing::internal::CaptureStdout();
    Core_Service::WriteLines(Severity::error, "before the source\n");
    EXPECT_TRUE(events.empty());

    Core_Service::OpenEventLogSource(L"Tarnwick AntiARP");
    const Core_Service::LogHelper reports(L"SocketARP");
    const Core_Service::LogHelper dispatcher(L"ServiceDispatcher");
    // The program's own texts reach the event as they are, beyond the ANSI code page.
    const std::wstring in_progress = L"已有实例在运行，本次运行不改动 ARP 表";
    dispatcher.WriteLog(Core_Service::log_warn, 0, in_progress);
    reports.WriteLog(Core_Service::log_error, 5, L"[5] Access is denied.\r\n");
    reports.WriteLog(Core_Service::log_normal, 0, L"note");
    reports.WriteLog(Core_Service::log_error, Core_Service::log_code_silent, L"never shown");
    Core_SocketARP::PrintMessage("[%d]ARP set static entry: IP: %s <=> MAC address %s\n", 0,
                                 "192.168.1.1", "02abcdef1099");
    Core_SocketARP::PrintErrorMessage("[%d]ARP Error %s\n", 1, "[50] Request not supported.\r\n");
    // A line of a kind is an event of the kind's own ID.
    const auto about = [](Core_Service::EventKind kind) {
        return Core_Service::EventFields{kind, "eth0", "192.168.1.1", "02:ab:cd:ef:10:99"};
    };
    Core_SocketARP::PrintMessage(about(Core_Service::EventKind::pinned), "pinned\n");
    for (const auto kind : {Core_Service::EventKind::conflict, Core_Service::EventKind::impostor,
                            Core_Service::EventKind::replaced, Core_Service::EventKind::attack}) {
        Core_SocketARP::ReportArp(Core_Service::log_warn, 0, "kind", about(kind));
    }

    // The console's output is what it is without the Event Log.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "before the source\n"
              "[WARN][ServiceDispatcher]" +
                  Core_Common::wide_to_narrow(in_progress, Core_Common::code_page_ansi) +
                  "\n"
                  "[ERROR][SocketARP][ error_code = 5 ] [5] Access is denied.\r\n\n"
                  "[NORMAL][SocketARP]note\n"
                  "[0]ARP set static entry: IP: 192.168.1.1 <=> MAC address 02abcdef1099\n"
                  "[1]ARP Error [50] Request not supported.\r\n\n"
                  "pinned\n"
                  "[WARN][SocketARP]kind\n[WARN][SocketARP]kind\n[WARN][SocketARP]kind\n"
                  "[WARN][SocketARP]kind\n");
    EXPECT_THAT(sources, ElementsAre(L"Tarnwick AntiARP"));
    // Each event's one string is its line without the line ends (the message text's "%1"
    // adds its own).
    const DWORD information = 0x40000001;
    const DWORD warning = 0x80000002;
    const DWORD error = 0xC0000003;
    EXPECT_THAT(
        events,
        ElementsAre(
            FieldsAre(EVENTLOG_WARNING_TYPE, 0, warning,
                      ElementsAre(L"[WARN][ServiceDispatcher]" + in_progress), true),
            FieldsAre(EVENTLOG_ERROR_TYPE, 0, error,
                      ElementsAre(L"[ERROR][SocketARP][ error_code = 5 ] [5] Access is denied."),
                      true),
            FieldsAre(EVENTLOG_INFORMATION_TYPE, 0, information,
                      ElementsAre(L"[NORMAL][SocketARP]note"), true),
            FieldsAre(EVENTLOG_INFORMATION_TYPE, 0, information,
                      ElementsAre(L"[0]ARP set static entry: IP: 192.168.1.1 <=> MAC address "
                                  L"02abcdef1099"),
                      true),
            FieldsAre(EVENTLOG_ERROR_TYPE, 0, error,
                      ElementsAre(L"[1]ARP Error [50] Request not supported."), true),
            FieldsAre(EVENTLOG_INFORMATION_TYPE, 0, 0x4000000Au, ElementsAre(L"pinned"), true),
            FieldsAre(EVENTLOG_WARNING_TYPE, 0, 0x8000000Bu, ElementsAre(L"[WARN][SocketARP]kind"),
                      true),
            FieldsAre(EVENTLOG_WARNING_TYPE, 0, 0x8000000Cu, ElementsAre(L"[WARN][SocketARP]kind"),
                      true),
            FieldsAre(EVENTLOG_WARNING_TYPE, 0, 0x8000000Du, ElementsAre(L"[WARN][SocketARP]kind"),
                      true),
            FieldsAre(EVENTLOG_WARNING_TYPE, 0, 0x8000000Eu, ElementsAre(L"[WARN][SocketARP]kind"),
                      true)));
}

} // namespace
