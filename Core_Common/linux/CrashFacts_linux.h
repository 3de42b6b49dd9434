// The facts the Linux crash report gives: those made ready before any crash (paths, the time
// zone's offset, ...), and those read while the process crashes (the failing thread's
// registers, /proc/self/maps and stat, /etc/passwd, the system's name and memory). Everything
// read at the crash is async-signal-safe: system calls and fixed buffers only.
#pragma once

#include "Core_Common/CrashReport.h"
#include "Core_Common/FixedText.h"

#include <cstddef>
#include <cstdint>
#include <limits.h>
#include <memory>
#include <ucontext.h>

namespace Core_Common::crash_report {

inline constexpr std::size_t path_bytes = PATH_MAX + 64;

// Everything the handler needs that is not async-signal-safe to get.
struct prepared_facts {
    narrow_text<path_bytes> dump_path;
    narrow_text<path_bytes> report_path;
    narrow_text<path_bytes> data_path;
    narrow_text<path_bytes> reporter_path;
    narrow_text<path_bytes> reporter_folder;
    narrow_text<path_bytes> reporter_argument;
    fixed_text<path_bytes> executable_path;
    fixed_text<path_bytes> executable_name;
    long utc_offset_seconds = 0;
    std::int32_t processor_count = 0;
    long clock_ticks_per_second = 100;
};

// From the crash settings and the executable's path, as they are now. Allocates and converts:
// never called in the handler.
std::unique_ptr<prepared_facts> prepare_facts();

// What one crash is: its code, its record parameters and the thread's registers.
struct crash_event {
    std::uint32_t code = 0;
    std::uint32_t parameter_count = 0;
    std::uint64_t parameters[2] = {};
    int signal = 0;
    int signal_code = 0;
    std::uintptr_t fault_address = 0;
    const ucontext_t* context = nullptr;
};

std::uintptr_t instruction_pointer(const ucontext_t& context);
std::uintptr_t stack_pointer(const ucontext_t& context);

// Copies `count` bytes of this process's memory from an address that may not be mapped; gives
// how many bytes from the start could be read.
std::size_t read_own_memory(std::uintptr_t address, void* out, std::size_t count);

// What /proc/self/maps says about the crash's addresses.
struct maps_summary {
    fixed_text<path_bytes> module_path;
    bool module_found = false;
    std::uint64_t mapped_bytes = 0;
    std::uint64_t stack_end = 0; // end of the mapping that holds the stack pointer
};
maps_summary summarize_maps(std::uintptr_t ip, std::uintptr_t sp);

// Storage for the texts the gathered facts point to.
struct fact_texts {
    fixed_text<256> user;
    fixed_text<128> os_name;
    fixed_text<128> os_version;
};

// Fills everything of the report's facts but `where`.
void gather_facts(const prepared_facts& prepared, const crash_event& event,
                  const maps_summary& maps, fact_texts& texts, crash_facts& facts);

// Pieces of Linux's text files, parsed without allocation.

// One line of /proc/<pid>/maps: "start-end perms offset dev inode   path".
struct maps_entry {
    std::uint64_t start = 0, end = 0;
    const char* path = nullptr; // inside the line; empty for anonymous memory
    std::size_t path_length = 0;
};
bool parse_maps_line(const char* line, std::size_t length, maps_entry& entry);

// Field 22 of /proc/<pid>/stat: the start time in clock ticks after boot.
bool parse_stat_start_ticks(const char* text, std::size_t length, std::uint64_t& ticks);

// The name of the user with this uid in /etc/passwd text; false if there is none.
bool find_passwd_user(const char* text, std::size_t length, std::uint32_t uid, const char*& name,
                      std::size_t& nameLength);

} // namespace Core_Common::crash_report
