#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Core_Common {

// Runs body under the crash guard: an exception or fault that leaves it writes the crash
// report (by default beside the executable), starts the crash reporter and ends the process
// with exit code 100. No catch (...) may stand between a guarded body and this guard: an
// uncaught C++ exception is reported at its throw point, before any unwinding.
//
// The guard's handlers are process-wide and installed by the first call; on Linux each
// thread that enters a guard also gets an alternate signal stack for the length of the call.
void RunGuarded(const std::function<void()>& body);

// The program's display name, which starts the crash reporter's argument. The entry point
// sets it before anything else.
void set_program_display_name(const std::wstring& name);
std::wstring program_display_name();

// The folder that receives "CRASH.DMP", "CRASHLOG.TXT" and "CRASHLOG.DAT". Empty (the
// default) means the executable's own folder. Set it before threads start.
void set_crash_directory(const std::wstring& directory);
std::wstring crash_directory();

// The crash context the report prints. The texts are read while the process crashes, so
// they must stay valid for the rest of the process's life (string literals, for example).
void set_crash_context(const wchar_t* status, const wchar_t* mode, const wchar_t* webFrame,
                       std::uint32_t messageId);

// Installs the runtime library's invalid-parameter handler, which throws the integer 0, so
// that the guard reports it. Does nothing where the runtime has no such handler (Linux).
void install_invalid_parameter_handler();

} // namespace Core_Common
