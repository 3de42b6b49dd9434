// Sends a console control event to the processes of another process's console:
//   console_event_sender <process id> <event>
// A process without a console of its own (a test under Wine has none) cannot generate one, so
// this program leaves its own console, attaches to the target's and sends the event to every
// process there, itself included. Exit code 0 once the event is sent; 2 when the console
// cannot be attached, 3 when the event cannot be generated, 1 on a bad command line.
#include "Core_Common/win/WinApi.h"

#include <cwchar>

namespace {

// The event reaches this program too; it only has to outlive the sending.
BOOL WINAPI ignore_event(DWORD /*ctrlType*/) { return TRUE; }

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 1;
    }
    const auto process_id = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const auto event = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    FreeConsole();
    if (!AttachConsole(process_id)) {
        return 2;
    }
    SetConsoleCtrlHandler(&ignore_event, TRUE);
    // Group 0: every process attached to the console.
    if (!GenerateConsoleCtrlEvent(event, 0)) {
        return 3;
    }
    return 0;
}
