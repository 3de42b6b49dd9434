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
// handler. Null: no argument, as the service managers start the service. Returns the process's
// exit code (Core_Service::exit_success, exit_failed, exit_usage).
int RunCommandLine(const wchar_t* argument);

// The whole program: modules up, the command line, modules down. Returns the exit code.
int ProgramMain(int argc, wchar_t** argv);
