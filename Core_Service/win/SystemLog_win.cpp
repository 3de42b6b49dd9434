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

namespace {

// An event of the open source, if any: the text without its line ends, which the message text
// adds back. A failed report has nowhere to be reported to.
void report_event(Severity severity, const std::wstring& text) {
    if (const HANDLE source = event_source.load()) {
        const std::wstring message = Core_Common::without_line_end(text);
        LPCWSTR strings[] = {message.c_str()};
        const EventKind kind = event_kind(severity);
        SystemEventLogApi().reportEvent(source, kind.type, 0, kind.id, nullptr, 1, 0, strings,
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

void WriteLines(Severity severity, std::string_view text) {
    WriteStandardOutput(text);
    if (event_source.load() != nullptr) {
        report_event(severity,
                     Core_Common::narrow_to_wide(std::string(text), Core_Common::code_page_ansi));
    }
}

void WriteLines(Severity severity, std::wstring_view text) {
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
    report_event(severity, std::wstring(text));
}

} // namespace Core_Service
