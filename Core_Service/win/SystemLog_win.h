// Windows: in service mode the program's lines also go to the Application log of the Event Log,
// one event per write, its type by the line's severity.
#pragma once

#include "Core_Common/win/WinApi.h"

#include <string>

namespace Core_Service {

// The Event Log's entry points. Tests put stand-ins here that record what the program reports
// and pass it on, as Wine keeps no log to read the events back from.
struct EventLogApi {
    HANDLE(WINAPI* registerEventSource)(LPCWSTR server, LPCWSTR source) = &RegisterEventSourceW;
    BOOL(WINAPI* reportEvent)
    (HANDLE log, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
     DWORD dataSize, LPCWSTR* strings, LPVOID data) = &ReportEventW;
    BOOL(WINAPI* deregisterEventSource)(HANDLE log) = &DeregisterEventSource;
};

EventLogApi& SystemEventLogApi();

// From here on, for the rest of the process, every line also becomes an event of this source.
// A source that cannot be opened leaves the lines on standard output only.
void OpenEventLogSource(const std::wstring& sourceName);

// Ends the events (for tests: the program keeps its source to the end).
void CloseEventLogSource();

} // namespace Core_Service
