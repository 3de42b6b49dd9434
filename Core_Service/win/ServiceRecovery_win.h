// What the Service Control Manager does when the service's process ends without having reported
// that it stopped (a crash: the crash guard ends the process with exit code 100): it starts the
// service again, 5 s later, and from the third failure within a day on, 60 s later. The new run
// flushes and pins as every start does. Set by the program's /install and by the installer
// package's own step.
#pragma once

#include "Core_Common/win/WinApi.h"

#include <cstdint>

namespace Core_Service {

inline constexpr DWORD restart_delay_ms = 5000;
inline constexpr DWORD repeated_restart_delay_ms = 60000;
inline constexpr DWORD failure_count_reset_s = 86400;

// The service manager's configuration call. Tests put a stand-in here that records what the
// program asks for and passes it on, as Wine's service manager keeps no failure actions.
struct ServiceConfigApi {
    BOOL(WINAPI* changeServiceConfig2)
    (SC_HANDLE service, DWORD level, LPVOID info) = &ChangeServiceConfig2W;
};

ServiceConfigApi& SystemServiceConfigApi();

// Sets the failure actions on the service (opened with SERVICE_CHANGE_CONFIG), and the flag that
// makes them count also for a run that reports stopped with an error; false with the system's
// code. A service manager without that flag (Wine's) is left without it: a crash still counts,
// since the process ends without reporting that it stopped.
bool SetRestartOnFailure(SC_HANDLE service, std::uint32_t& error);

} // namespace Core_Service
