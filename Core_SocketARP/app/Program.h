#pragma once

#include <string>

// The texts that identify the service.
inline constexpr const wchar_t* program_display_name = L"Tarnwick ARP Protect 1.0";
inline constexpr const wchar_t* service_name = L"Tarnwick AntiARP";
inline constexpr const wchar_t* service_display_name = L"Tarnwick AntiARP";
inline constexpr const wchar_t* service_description =
    L"Protect you against ARP attack in the local network, attackers can no longer sniff your "
    L"traffic.";

// Lets the command line decide what the process does, under the crash guard: a control
// operation, the help text or the version line, or service or debug mode with the application
// handler, or the status report. Null: no argument, as the service managers start the service.
// `option` is the argument after it (null: none), which only the status switch reads. Returns
// the process's exit code (Core_Service::exit_success, exit_failed, exit_usage, or the status
// report's).
int RunCommandLine(const wchar_t* argument, const wchar_t* option = nullptr);

// The whole program: modules up, the command line, modules down. Returns the exit code.
int ProgramMain(int argc, wchar_t** argv);
