// The Linux crash dump, "CRASH.DMP": plain text of the crash, the failing thread's registers,
// the memory map and the stack (README "The Linux crash dump"). Async-signal-safe.
#pragma once

#include "Core_Common/linux/CrashFacts_linux.h"
#include "Core_Common/linux/CrashFile_linux.h"

#include <cstdint>

namespace Core_Common::crash_report {

void write_dump(crash_file& file, const crash_event& event, const maps_summary& maps);

// This process's memory [from, to) as the dump's stack lines: the address in 16 hex digits,
// then 16 bytes from a multiple of 16, blanks outside the range, "??" for a byte that could
// not be read.
void write_memory_lines(crash_file& file, std::uint64_t from, std::uint64_t to);

} // namespace Core_Common::crash_report
