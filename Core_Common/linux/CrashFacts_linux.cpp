#include "Core_Common/linux/CrashFacts_linux.h"

#include "Core_Common/CrashSettings.h"
#include "Core_Common/Utility.h"
#include "Core_Common/linux/ScopedFd_linux.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Core_Common::crash_report {
namespace {

// The machine's user address space, for the "user address space" lines.
constexpr std::uint64_t user_address_space_bytes = sizeof(void*) == 8 ? (1ull << 47) : (3ull << 30);

// UTF-8 to wide text without allocation; a malformed sequence becomes U+FFFD.
template <std::size_t N> void append_utf8(fixed_text<N>& out, const char* text, std::size_t count) {
    std::size_t i = 0;
    while (i < count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t cp = lead;
        bool valid = true;
        if (lead >= 0xC2 && lead < 0xE0) {
            extra = 1;
            cp = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            extra = 2;
            cp = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            extra = 3;
            cp = lead & 0x07u;
        } else if (lead >= 0x80) {
            valid = false;
        }
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            const auto next = i + k < count ? static_cast<unsigned char>(text[i + k]) : 0u;
            if ((next & 0xC0u) != 0x80u) {
                valid = false;
            } else {
                cp = (cp << 6) | (next & 0x3Fu);
            }
        }
        const wchar_t unit = valid ? static_cast<wchar_t>(cp) : L'\xFFFD';
        out.append(&unit, 1);
        i += valid ? extra + 1 : 1;
    }
}

// Calls visit(line, length) for each line of a file, a line cut at 4096 bytes.
template <class Visit> bool for_each_line(const char* path, Visit&& visit) {
    const ScopedFd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return false;
    }
    char line[4096];
    std::size_t length = 0;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                visit(line, length);
                length = 0;
            } else if (length < sizeof line) {
                line[length++] = chunk[i];
            }
        }
    }
    if (length > 0) {
        visit(line, length);
    }
    return true;
}

// Reads a whole small file into a buffer; returns the byte count (0 on failure).
std::size_t read_small_file(const char* path, char* buffer, std::size_t capacity) {
    const ScopedFd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return 0;
    }
    std::size_t used = 0;
    while (used < capacity) {
        const ssize_t got = read(file.get(), buffer + used, capacity - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    return used;
}

void fill_registers(const ucontext_t& context, crash_facts& facts) {
#if defined(__x86_64__)
    const greg_t* g = context.uc_mcontext.gregs;
    facts.registers.layout = register_layout::x86_64;
    const int order[] = {REG_RDI, REG_RSI, REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RIP,
                         REG_RBP, -1,      REG_EFL, REG_RSP, -1,      REG_R8,  REG_R9,
                         REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
    for (std::size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
        facts.registers.values[i] = order[i] < 0 ? 0 : static_cast<std::uint64_t>(g[order[i]]);
    }
    facts.registers.values[8] = static_cast<std::uint64_t>(g[REG_CSGSFS]) & 0xFFFFu;
    facts.code_segment = static_cast<std::uint32_t>(facts.registers.values[8]);
#else
    (void)context;
    (void)facts;
#endif
}

void fill_user(fixed_text<256>& user) {
    const uid_t uid = getuid();
    static char passwd[65536];
    const std::size_t length = read_small_file("/etc/passwd", passwd, sizeof passwd);
    const char* name = nullptr;
    std::size_t nameLength = 0;
    if (find_passwd_user(passwd, length, uid, name, nameLength)) {
        append_utf8(user, name, nameLength);
        return;
    }
    // No name for the uid (a container's dynamic user): the number itself.
    wchar_t number[16];
    format_text(number, 16, L"%u", {static_cast<std::uint32_t>(uid)});
    user.append(number);
}

bool process_seconds(long clockTicksPerSecond, std::uint64_t& seconds) {
    char stat[1024];
    const std::size_t length = read_small_file("/proc/self/stat", stat, sizeof stat);
    std::uint64_t startTicks = 0;
    if (length == 0 || !parse_stat_start_ticks(stat, length, startTicks)) {
        return false;
    }
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0 || clockTicksPerSecond <= 0) {
        return false;
    }
    const std::uint64_t start = startTicks / static_cast<std::uint64_t>(clockTicksPerSecond);
    const auto current = static_cast<std::uint64_t>(now.tv_sec);
    seconds = current > start ? current - start : 0;
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c, unsigned& value) {
    if (c >= '0' && c <= '9') {
        value = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        value = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        value = static_cast<unsigned>(c - 'A' + 10);
    } else {
        return false;
    }
    return true;
}

std::size_t parse_hex(const char* text, std::size_t length, std::size_t at, std::uint64_t& value) {
    value = 0;
    unsigned digit = 0;
    const std::size_t start = at;
    while (at < length && is_hex_digit(text[at], digit)) {
        value = value * 16 + digit;
        ++at;
    }
    return at == start ? 0 : at;
}

} // namespace

std::unique_ptr<prepared_facts> prepare_facts() {
    // Default-initialised, not zero-filled: the untouched pages of the path buffers cost no
    // memory.
    std::unique_ptr<prepared_facts> prepared(new prepared_facts);
    const std::wstring executable = module_file_path();
    const std::wstring path = executable.empty() ? L"Unknown" : executable;
    prepared->executable_path.append(path.c_str());
    const wchar_t* file = file_name_part(path.c_str(), L'/');
    prepared->executable_name.append(strip_extension<path_bytes>(file).c_str());

    const std::string narrowPath = wide_to_narrow(path, code_page_ansi);
    const std::string executableFolder = narrowPath.substr(0, narrowPath.rfind('/') + 1);
    std::string folder = wide_to_narrow(crash_settings::directory(), code_page_ansi);
    if (folder.empty()) {
        folder = executableFolder;
    } else if (folder.back() != '/') {
        folder += '/';
    }
    const auto set = [](auto& target, const std::string& value) {
        target.append(value.c_str(), value.size());
    };
    set(prepared->dump_path, folder + "CRASH.DMP");
    set(prepared->report_path, folder + "CRASHLOG.TXT");
    set(prepared->data_path, folder + "CRASHLOG.DAT");
    set(prepared->reporter_path, executableFolder + "CrashReport");
    set(prepared->reporter_folder, executableFolder);
    set(prepared->reporter_argument,
        wide_to_narrow(crash_settings::display_name(), code_page_ansi) +
            narrowPath.substr(narrowPath.rfind('/') + 1));

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        prepared->utc_offset_seconds = local.tm_gmtoff;
    }
    prepared->processor_count = static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
    prepared->clock_ticks_per_second = sysconf(_SC_CLK_TCK);
    return prepared;
}

std::uintptr_t instruction_pointer(const ucontext_t& context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context.uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return 0;
#endif
}

std::uintptr_t stack_pointer(const ucontext_t& context) {
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(context.uc_mcontext.gregs[REG_RSP]);
#else
    (void)context;
    return 0;
#endif
}

std::size_t read_own_memory(std::uintptr_t address, void* out, std::size_t count) {
    iovec local{out, count};
    // An address taken from the crashed thread's registers.
    iovec remote{reinterpret_cast<void*>(address), count}; // NOLINT(performance-no-int-to-ptr)
    const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

maps_summary summarize_maps(std::uintptr_t ip, std::uintptr_t sp) {
    maps_summary summary;
    for_each_line("/proc/self/maps", [&](const char* line, std::size_t length) {
        maps_entry entry;
        if (!parse_maps_line(line, length, entry)) {
            return;
        }
        if (entry.end <= user_address_space_bytes) {
            summary.mapped_bytes += entry.end - entry.start;
        }
        if (ip >= entry.start && ip < entry.end && entry.path_length > 0 && entry.path[0] == '/') {
            summary.module_path.clear();
            append_utf8(summary.module_path, entry.path, entry.path_length);
            summary.module_found = true;
        }
        if (sp >= entry.start && sp < entry.end) {
            summary.stack_end = entry.end;
        }
    });
    return summary;
}

void gather_facts(const prepared_facts& prepared, const crash_event& event,
                  const maps_summary& maps, fact_texts& texts, crash_facts& facts) {
    const std::uintptr_t ip = instruction_pointer(*event.context);
    facts.executable_name = prepared.executable_name.c_str();
    facts.executable_path = prepared.executable_path.c_str();
    facts.code = event.code;
    facts.instruction_pointer = ip;
    facts.address_digits = sizeof(void*) * 2;
    facts.module_name =
        maps.module_found ? file_name_part(maps.module_path.c_str(), L'/') : L"Unknown";

    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
        facts.time = calendar_from_seconds(static_cast<std::int64_t>(now.tv_sec) +
                                           prepared.utc_offset_seconds);
    }
    fill_user(texts.user);
    facts.user_name = texts.user.c_str();

    utsname system{};
    if (uname(&system) == 0) {
        append_utf8(texts.os_name, system.sysname, std::strlen(system.sysname));
        texts.os_name.append(L" ");
        append_utf8(texts.os_name, system.machine, std::strlen(system.machine));
        append_utf8(texts.os_version, system.release, std::strlen(system.release));
    } else {
        texts.os_name.append(L"Unknown");
    }
    facts.os_name = texts.os_name.c_str();
    facts.os_version = texts.os_version.c_str();
    facts.processor_count = prepared.processor_count;
    // The processor type numbers of the Windows report: AMD64 and Pentium.
    facts.processor_type = sizeof(void*) == 8 ? 8664 : 586;

    struct sysinfo memory {};
    if (sysinfo(&memory) == 0) {
        const std::uint64_t unit = memory.mem_unit == 0 ? 1 : memory.mem_unit;
        facts.total_physical = memory.totalram * unit;
        facts.available_physical = (memory.freeram + memory.bufferram) * unit;
        facts.total_page_file = memory.totalswap * unit;
        facts.available_page_file = memory.freeswap * unit;
        if (facts.total_physical > 0) {
            const std::uint64_t used = facts.total_physical > facts.available_physical
                                           ? facts.total_physical - facts.available_physical
                                           : 0;
            facts.memory_load = static_cast<std::uint32_t>(used * 100 / facts.total_physical);
        }
    }
    facts.total_virtual = user_address_space_bytes;
    facts.available_virtual = maps.mapped_bytes < user_address_space_bytes
                                  ? user_address_space_bytes - maps.mapped_bytes
                                  : 0;

    facts.process_time_known =
        process_seconds(prepared.clock_ticks_per_second, facts.process_seconds);

    take_crash_context(facts);

    facts.parameter_count = event.parameter_count;
    facts.parameters[0] = event.parameters[0];
    facts.parameters[1] = event.parameters[1];
    fill_registers(*event.context, facts);
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint8_t byte = 0;
        facts.code_bytes[i] = read_own_memory(ip + i, &byte, 1) == 1 ? byte : unreadable_byte;
    }
}

bool parse_maps_line(const char* line, std::size_t length, maps_entry& entry) {
    std::size_t at = parse_hex(line, length, 0, entry.start);
    if (at == 0 || at >= length || line[at] != '-') {
        return false;
    }
    at = parse_hex(line, length, at + 1, entry.end);
    if (at == 0) {
        return false;
    }
    // Four fields follow: permissions, offset, device, inode; then the path, if any.
    for (int field = 0; field < 4; ++field) {
        while (at < length && line[at] == ' ') {
            ++at;
        }
        if (at >= length) {
            return false;
        }
        while (at < length && line[at] != ' ') {
            ++at;
        }
    }
    while (at < length && line[at] == ' ') {
        ++at;
    }
    std::size_t end = length;
    while (end > at && (line[end - 1] == '\n' || line[end - 1] == '\r')) {
        --end;
    }
    entry.path = line + at;
    entry.path_length = end - at;
    return true;
}

bool parse_stat_start_ticks(const char* text, std::size_t length, std::uint64_t& ticks) {
    // The command name in parentheses may hold blanks and parentheses: count from the last ")".
    std::size_t at = length;
    for (std::size_t i = length; i-- > 0;) {
        if (text[i] == ')') {
            at = i + 1;
            break;
        }
    }
    if (at >= length) {
        return false;
    }
    // After ")": field 3 (the state) is the first, the start time is field 22.
    for (int field = 3; field <= 22; ++field) {
        while (at < length && text[at] == ' ') {
            ++at;
        }
        if (at >= length) {
            return false;
        }
        if (field == 22) {
            if (!is_digit(text[at])) {
                return false;
            }
            ticks = 0;
            while (at < length && is_digit(text[at])) {
                ticks = ticks * 10 + static_cast<std::uint64_t>(text[at] - '0');
                ++at;
            }
            return true;
        }
        while (at < length && text[at] != ' ') {
            ++at;
        }
    }
    return false;
}

bool find_passwd_user(const char* text, std::size_t length, std::uint32_t uid, const char*& name,
                      std::size_t& nameLength) {
    std::size_t lineStart = 0;
    while (lineStart < length) {
        std::size_t lineEnd = lineStart;
        while (lineEnd < length && text[lineEnd] != '\n') {
            ++lineEnd;
        }
        // name:password:uid:...
        std::size_t colon1 = lineStart;
        while (colon1 < lineEnd && text[colon1] != ':') {
            ++colon1;
        }
        std::size_t colon2 = colon1 + 1;
        while (colon2 < lineEnd && text[colon2] != ':') {
            ++colon2;
        }
        std::size_t at = colon2 + 1;
        if (colon1 > lineStart && colon2 < lineEnd && at < lineEnd && is_digit(text[at])) {
            std::uint64_t value = 0;
            while (at < lineEnd && is_digit(text[at]) && value <= 0xFFFFFFFFu) {
                value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
                ++at;
            }
            if (at < lineEnd && text[at] == ':' && value == uid) {
                name = text + lineStart;
                nameLength = colon1 - lineStart;
                return true;
            }
        }
        lineStart = lineEnd + 1;
    }
    return false;
}

} // namespace Core_Common::crash_report
