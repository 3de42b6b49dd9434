#pragma once

#include <optional>
#include <string>

namespace Core_Service {

enum class CommandSwitch {
    install,
    uninstall,
    start,
    stop,
    restart,
    debug,
    help,
    version,
    status,
    none
};

// Parser results.
inline constexpr unsigned command_done = 0;
inline constexpr unsigned command_service_mode = 1;
inline constexpr unsigned command_debug_mode = 2;
// A control operation failed; it has said why (or, where it is silent, nothing).
inline constexpr unsigned command_failed = 3;
// The argument is no switch: it has been named, with the help text, and nothing else was done.
inline constexpr unsigned command_usage = 4;
// The status report, as text or as one JSON object: the application writes it.
inline constexpr unsigned command_status = 5;
inline constexpr unsigned command_status_json = 6;

// Process exit codes; a crash ends the process with Core_Common::crash_exit_code (100).
inline constexpr int exit_success = 0;
// A control operation failed, or a run did not take place (another run holds the running lock,
// the program's place is not safe, no service manager to connect to).
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;
// The status report's verdict: every gateway pinned to its trusted or remembered MAC (0), or
// not (1).
inline constexpr int exit_status_pinned = 0;
inline constexpr int exit_status_not_pinned = 1;

// The argument, lower-cased A to Z only, matched whole against the switch table; anything that
// is not a switch (the empty string too) is `none`.
CommandSwitch FindSwitch(const std::wstring& argument);

// What the status switch's option asks for: text (no option), JSON ("--json", "-json" or "/json",
// in any case), or nothing: the option is not one of them.
std::optional<unsigned> StatusOption(const wchar_t* option);

// The line that names an option of the status switch that it does not take.
std::string UnknownStatusOptionLine(const std::wstring& option);

// Console lines of the command line, without their line ends.
inline constexpr const char* success_install = "Service Register successed.";
inline constexpr const char* success_uninstall = "Service Unregister successed.";
inline constexpr const char* success_start = "Service Start successed.";
inline constexpr const char* success_stop = "Service Stop successed.";
inline constexpr const char* success_restart = "Service Restart successed.";
inline constexpr const char* description_failed = "Cannot set service's description.";

// The help text in the console's narrow code page: an empty line and six lines of switches.
std::string HelpText();

// The line that names an argument that is no switch; control characters and bytes that are not
// text are shown as "\xNN".
std::string UnknownSwitchLine(const std::wstring& argument);

// The version line: the product's name, the version, the platform, the build type and the
// compiler, as the build recorded them.
std::string VersionLine(const std::wstring& productName);

// Writes one console line: the text, a newline, a flush.
void PrintLine(const std::string& text);

} // namespace Core_Service
