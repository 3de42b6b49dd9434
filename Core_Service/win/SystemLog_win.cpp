#include "Core_Service/win/SystemLog_win.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"

#include "EventMessages.h" // generated from EventMessages.mc

#include <atomic>

namespace Core_Service {
namespace {

// Opened once, on the main thread, before the threads that write lines exist.
std::atomic<HANDLE> event_source = nullptr;

// The event's text: the line without its line ends, which the message text adds back.
std::wstring event_text(std::string_view text) {
    return Core_Common::without_line_end(
        Core_Common::narrow_to_wide(std::string(text), Core_Common::code_page_ansi));
}

// A severity's event type and identifier in the program's message table, whose text is the
// event's one string.
struct EventKind {
    WORD type;
    DWORD id;
};

EventKind event_kind(Severity severity) {
    switch (severity) {
    case Severity::error:
        return {EVENTLOG_ERROR_TYPE, TW_EVENT_ERROR};
    case Severity::warning:
        return {EVENTLOG_WARNING_TYPE, TW_EVENT_WARNING};
    case Severity::information:
        break;
    }
    return {EVENTLOG_INFORMATION_TYPE, TW_EVENT_INFORMATION};
}

} // namespace

EventLogApi& SystemEventLogApi() {
    static EventLogApi api;
    return api;
}

void OpenEventLogSource(const std::wstring& sourceName) {
    CloseEventLogSource();
    event_source = SystemEventLogApi().registerEventSource(nullptr, sourceName.c_str());
}

void CloseEventLogSource() {
    if (const HANDLE source = event_source.exchange(nullptr)) {
        SystemEventLogApi().deregisterEventSource(source);
    }
}

void WriteLines(Severity severity, std::string_view text) {
    WriteStandardOutput(text);
    if (const HANDLE source = event_source.load()) {
        const std::wstring message = event_text(text);
        LPCWSTR strings[] = {message.c_str()};
        // A failed report has nowhere to be reported to.
        const EventKind kind = event_kind(severity);
        SystemEventLogApi().reportEvent(source, kind.type, 0, kind.id, nullptr, 1, 0, strings,
                                        nullptr);
    }
}

} // namespace Core_Service
