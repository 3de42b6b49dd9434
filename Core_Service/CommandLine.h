#pragma once

#include <string>

namespace Core_Service {

enum class CommandSwitch { install, uninstall, start, stop, restart, debug, help, none };

// Parser results.
inline constexpr unsigned command_done = 0;
inline constexpr unsigned command_service_mode = 1;
inline constexpr unsigned command_debug_mode = 2;

// The argument, lower-cased A to Z only, matched whole against the switch table; anything that
// is not a switch (the empty string too) is `none`.
CommandSwitch FindSwitch(const std::wstring& argument);

// Console lines of the command line, without their line ends.
inline constexpr const char* success_install = "Service Register successed.";
inline constexpr const char* success_uninstall = "Service Unregister successed.";
inline constexpr const char* success_start = "Service Start successed.";
inline constexpr const char* success_stop = "Service Stop successed.";
inline constexpr const char* success_restart = "Service Restart successed.";
inline constexpr const char* description_failed = "Cannot set service's description.";

// The help text in the console's narrow code page: an empty line and six lines of switches.
std::string HelpText();

// Writes one console line: the text, a newline, a flush.
void PrintLine(const std::string& text);

} // namespace Core_Service
