// The crash reporter's launch on Linux: "CrashReport" beside the executable, started after the
// report with the display name and the executable's file name as its one argument.
#pragma once

#include "Core_Common/linux/CrashFacts_linux.h"

namespace Core_Common::crash_report {

// Starts the reporter when it may be trusted (a regular file of root or of this process's
// user, which nobody else may change, nor its folder) and leaves it running; a start that
// fails is said on standard error. Async-signal-safe.
void start_reporter(const prepared_facts& prepared);

} // namespace Core_Common::crash_report
