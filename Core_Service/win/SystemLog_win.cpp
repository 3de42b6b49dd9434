#include "Core_Service/win/SystemLog_win.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"

#include "EventMessages.h" // generated from EventMessages.mc

#include <atomic>
#include <cstdio>

namespace Core_Service {
namespace {

// Opened once, on the main thread, before the threads that write lines exist.
std::atomic<HANDLE> event_source = nullptr;

// The message table's identifiers carry their severity in their top bits; the Event Log shows
// the low 16 bits as the event ID, which the portable table holds.
constexpr DWORD message_ids[] = {TW_EVENT_INFORMATION, TW_EVENT_WARNING,  TW_EVENT_ERROR,
                                 TW_EVENT_PINNED,      TW_EVENT_CONFLICT, TW_EVENT_IMPOSTOR,
                                 TW_EVENT_REPLACED,    TW_EVENT_ATTACK};
static_assert((TW_EVENT_INFORMATION & 0xFFFF) == 1 && (TW_EVENT_WARNING & 0xFFFF) == 2 &&
              (TW_EVENT_ERROR & 0xFFFF) == 3);

// The event type of a severity.
WORD event_type(Severity severity) {
    switch (severity) {
    case Severity::error:
        return EVENTLOG_ERROR_TYPE;
    case Severity::warning:
        return EVENTLOG_WARNING_TYPE;
    case Severity::information:
        break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

// The message table's identifier of the line's event ID, whose text is the event's one string.
DWORD message_id(Severity severity, const EventFields& fields) {
    const std::uint32_t id = EventIdOf(severity, fields);
    for (const DWORD message : message_ids) {
        if ((message & 0xFFFF) == id) {
            return message;
        }
    }
    return TW_EVENT_INFORMATION; // every ID of the table is in the message table
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

namespace {

// An event of the open source, if any: the text without its line ends, which the message text
// adds back. A failed report has nowhere to be reported to.
void report_event(Severity severity, const std::wstring& text, const EventFields& fields) {
    if (const HANDLE source = event_source.load()) {
        const std::wstring message = Core_Common::without_line_end(text);
        LPCWSTR strings[] = {message.c_str()};
        SystemEventLogApi().reportEvent(source, event_type(severity), 0,
                                        message_id(severity, fields), nullptr, 1, 0, strings,
                                        nullptr);
    }
}

// Asked for every write: standard output may be redirected while the process runs.
HANDLE console_output() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)
               ? output
               : nullptr;
}

} // namespace

void WriteLines(Severity severity, std::string_view text, const EventFields& fields) {
    WriteStandardOutput(text);
    if (event_source.load() != nullptr) {
        report_event(severity,
                     Core_Common::narrow_to_wide(std::string(text), Core_Common::code_page_ansi),
                     fields);
    }
}

void WriteLines(Severity severity, std::string_view text) { WriteLines(severity, text, {}); }

void WriteLines(Severity severity, std::wstring_view text) { WriteLines(severity, text, {}); }

void WriteLines(Severity severity, std::wstring_view text, const EventFields& fields) {
    if (const HANDLE console = console_output()) {
        // The console takes the characters themselves, whatever its code page; what the C
        // runtime may still hold goes first.
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        WriteStandardOutput(
            Core_Common::wide_to_narrow(std::wstring(text), Core_Common::code_page_ansi));
    }
    report_event(severity, std::wstring(text), fields);
}

} // namespace Core_Service
