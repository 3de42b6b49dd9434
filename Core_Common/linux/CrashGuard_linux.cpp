// The crash guard on Linux. Faults arrive as signals, handled on an alternate stack; an
// uncaught C++ exception reaches the terminate handler at its throw point, before any
// unwinding. Everything reachable from the signal handler is async-signal-safe: fixed
// buffers, system calls, no allocation, no stdio, no locks.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/CrashReport.h"
#include "Core_Common/CrashSettings.h"
#include "Core_Common/Log.h"
#include "Core_Common/Utility.h"
#include "Core_Common/linux/ScopedFd_linux.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

namespace Core_Common {
namespace {

using namespace crash_report;

constexpr int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t path_bytes = PATH_MAX + 64;
constexpr std::size_t alternate_stack_bytes = std::size_t{256} << 10;
constexpr std::uint64_t stack_dump_limit = std::uint64_t{1} << 20;

// Everything the handler needs that is not async-signal-safe to get, made ready beforehand.
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

prepared_facts prepared;
std::mutex prepare_mutex;

std::atomic<bool> report_allowed{true};
std::terminate_handler previous_terminate = nullptr;
report_writer writer;

using scoped_fd = ScopedFd;

// False when not every byte could be written (a full disk, an I/O error).
bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

void debug_output(const char* text) { write_all(STDERR_FILENO, text, std::strlen(text)); }

// One crash file being written. It is made anew and never through a link: whatever has its
// name is removed first, and a name taken again before the creation makes the creation fail.
// It remembers a write that did not go through, to say so once the file is done.
class crash_file {
public:
    explicit crash_file(const char* path) {
        unlink(path);
        fd_.reset(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_SYNC | O_CLOEXEC, 0644));
    }

    bool valid() const { return fd_.valid(); }
    int get() const { return fd_.get(); }

    void write(const char* bytes, std::size_t count) {
        if (!failed_ && !write_all(fd_.get(), bytes, count)) {
            failed_ = true;
        }
    }
    template <std::size_t N> void write(const narrow_text<N>& text) {
        write(text.c_str(), text.size());
    }

    // Closes the file; on a failed write, says so on standard error with `failure`.
    void finish(const char* failure) {
        fd_.reset();
        if (failed_) {
            debug_output(failure);
        }
    }

private:
    scoped_fd fd_;
    bool failed_ = false;
};

// Whether a file or folder may be trusted to run as this process: it belongs to root or to the
// process's own user, and nobody else may write it (a sticky folder keeps others' hands off
// what is not theirs).
bool owned_safely(const struct stat& status) {
    const bool owner = status.st_uid == 0 || status.st_uid == geteuid();
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return owner && (!othersWrite || (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0));
}

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

// The report file's sink: wide units to UTF-8.
class utf8_file_sink final : public report_sink {
public:
    explicit utf8_file_sink(crash_file& file) : file_(file) {}

    void write_units(const wchar_t* units, std::size_t count) override {
        char bytes[4096];
        std::size_t used = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (used + 4 > sizeof bytes) {
                file_.write(bytes, used);
                used = 0;
            }
            auto cp = static_cast<char32_t>(units[i]);
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD;
            }
            if (cp < 0x80) {
                bytes[used++] = static_cast<char>(cp);
            } else if (cp < 0x800) {
                bytes[used++] = static_cast<char>(0xC0 | (cp >> 6));
                bytes[used++] = static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                bytes[used++] = static_cast<char>(0xE0 | (cp >> 12));
                bytes[used++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[used++] = static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                bytes[used++] = static_cast<char>(0xF0 | (cp >> 18));
                bytes[used++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                bytes[used++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[used++] = static_cast<char>(0x80 | (cp & 0x3F));
            }
        }
        file_.write(bytes, used);
    }

private:
    crash_file& file_;
};

// Calls visit(line, length) for each line of a file, a line cut at 4096 bytes.
template <class Visit> bool for_each_line(const char* path, Visit&& visit) {
    const scoped_fd file(open(path, O_RDONLY | O_CLOEXEC));
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
    const scoped_fd file(open(path, O_RDONLY | O_CLOEXEC));
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

bool read_own_memory(std::uintptr_t address, void* out, std::size_t count) {
    iovec local{out, count};
    // An address taken from the crashed thread's registers.
    iovec remote{reinterpret_cast<void*>(address), count}; // NOLINT(performance-no-int-to-ptr)
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(count);
}

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

// The machine's user address space, for the "user address space" lines.
constexpr std::uint64_t user_address_space_bytes = sizeof(void*) == 8 ? (1ull << 47) : (3ull << 30);

struct maps_summary {
    fixed_text<path_bytes> module_path;
    bool module_found = false;
    std::uint64_t mapped_bytes = 0;
    std::uint64_t stack_end = 0; // end of the mapping that holds the stack pointer
};

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

bool process_seconds(std::uint64_t& seconds) {
    char stat[1024];
    const std::size_t length = read_small_file("/proc/self/stat", stat, sizeof stat);
    std::uint64_t startTicks = 0;
    if (length == 0 || !parse_stat_start_ticks(stat, length, startTicks)) {
        return false;
    }
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0 || prepared.clock_ticks_per_second <= 0) {
        return false;
    }
    const std::uint64_t start =
        startTicks / static_cast<std::uint64_t>(prepared.clock_ticks_per_second);
    const auto current = static_cast<std::uint64_t>(now.tv_sec);
    seconds = current > start ? current - start : 0;
    return true;
}

void write_dump(crash_file& file, const crash_event& event, const maps_summary& maps) {
    narrow_text<512> text;
    text.append("TARNWICK CRASH DUMP 1\n");
    text.append("process ").append_unsigned(static_cast<std::uint64_t>(getpid()));
    text.append(" thread ").append_unsigned(static_cast<std::uint64_t>(gettid())).append("\n");
    text.append("exception ").append_hex(event.code, 8).append("\n");
    text.append("signal ").append_unsigned(static_cast<std::uint64_t>(event.signal));
    text.append(" code ").append_unsigned(static_cast<std::uint32_t>(event.signal_code));
    text.append(" address ").append_hex(event.fault_address, 16).append("\n\n");
    text.append("[registers]\n");
    file.write(text);

#if defined(__x86_64__)
    static constexpr struct {
        const char* name;
        int index;
    } registers[] = {
        {"rax", REG_RAX},       {"rbx", REG_RBX},    {"rcx", REG_RCX},       {"rdx", REG_RDX},
        {"rsi", REG_RSI},       {"rdi", REG_RDI},    {"rbp", REG_RBP},       {"rsp", REG_RSP},
        {"r8", REG_R8},         {"r9", REG_R9},      {"r10", REG_R10},       {"r11", REG_R11},
        {"r12", REG_R12},       {"r13", REG_R13},    {"r14", REG_R14},       {"r15", REG_R15},
        {"rip", REG_RIP},       {"eflags", REG_EFL}, {"csgsfs", REG_CSGSFS}, {"err", REG_ERR},
        {"trapno", REG_TRAPNO}, {"cr2", REG_CR2}};
    for (const auto& reg : registers) {
        text.clear();
        text.append(reg.name).append(" ");
        text.append_hex(static_cast<std::uint64_t>(event.context->uc_mcontext.gregs[reg.index]),
                        16);
        text.append("\n");
        file.write(text);
    }
#endif

    text.clear();
    text.append("\n[memory map]\n");
    file.write(text);
    {
        const scoped_fd mapsFile(open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
        char chunk[4096];
        ssize_t got = 0;
        while (mapsFile.valid() && (got = read(mapsFile.get(), chunk, sizeof chunk)) > 0) {
            file.write(chunk, static_cast<std::size_t>(got));
        }
    }

    // The stack from the stack pointer up to the end of its mapping, at most 1 MiB.
    const std::uint64_t sp = stack_pointer(*event.context);
    std::uint64_t end = maps.stack_end;
    if (end > sp && end - sp > stack_dump_limit) {
        end = sp + stack_dump_limit;
    }
    if (end < sp) {
        end = sp;
    }
    text.clear();
    text.append("\n[stack]\nfrom ").append_hex(sp, 16).append(" to ").append_hex(end, 16);
    text.append(" (").append_unsigned(end - sp).append(" bytes)\n");
    file.write(text);
    for (std::uint64_t at = sp & ~std::uint64_t{15}; at < end; at += 16) {
        text.clear();
        text.append_unsigned(at, 16, 16).append(" ");
        for (std::uint64_t i = 0; i < 16; ++i) {
            std::uint8_t byte = 0;
            if (at + i < sp || at + i >= end) {
                text.append("   ");
            } else if (read_own_memory(at + i, &byte, 1)) {
                text.append(" ").append_unsigned(byte, 16, 2);
            } else {
                text.append(" ??");
            }
        }
        text.append("\n");
        file.write(text);
    }
    text.clear();
    text.append("\n[end]\n");
    file.write(text);
}

void write_log_data_file() {
    crash_file file(prepared.data_path.c_str());
    if (!file.valid()) {
        debug_output("Error creating SysLog.dat\n");
        return;
    }
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    std::uint32_t firstLength = 0;
    std::uint32_t secondLength = 0;
    GetMemoryLog(first, firstLength, second, secondLength);
    if (first != nullptr) {
        file.write(reinterpret_cast<const char*>(first), firstLength);
    }
    if (second != nullptr) {
        file.write(reinterpret_cast<const char*>(second), secondLength);
    }
    file.finish("Error writing SysLog.dat\n");
}

// The reporter runs with this process's rights, root's for the service: it is started only
// when nobody else could have put it there or changed it, neither the file nor its folder.
bool reporter_trusted() {
    struct stat file {};
    struct stat folder {};
    return fstatat(AT_FDCWD, prepared.reporter_path.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(file.st_mode) && owned_safely(file) &&
           fstatat(AT_FDCWD, prepared.reporter_folder.c_str(), &folder, 0) == 0 &&
           S_ISDIR(folder.st_mode) && owned_safely(folder);
}

void start_reporter() {
    if (!reporter_trusted()) {
        return;
    }
    // The reporter inherits no descriptor of this process.
#ifdef SYS_close_range
    syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* const arguments[] = {const_cast<char*>(prepared.reporter_path.c_str()),
                               const_cast<char*>(prepared.reporter_argument.c_str()), nullptr};
    pid_t child = 0;
    posix_spawn(&child, prepared.reporter_path.c_str(), nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
}

// Writes the report; false when the report file cannot be created.
bool write_crash_report(const crash_event& event, const wchar_t* where) {
    if (report_allowed.exchange(false) == false) {
        _exit(crash_exit_code);
    }
    const std::uintptr_t ip = instruction_pointer(*event.context);
    const std::uintptr_t sp = stack_pointer(*event.context);
    const maps_summary maps = summarize_maps(ip, sp);

    {
        crash_file dump(prepared.dump_path.c_str());
        if (dump.valid()) {
            write_dump(dump, event, maps);
            dump.finish("Error writing crash dump\n");
        }
    }

    crash_file report(prepared.report_path.c_str());
    if (!report.valid()) {
        debug_output("Error creating exception report\n");
        return false;
    }
    lseek(report.get(), 0, SEEK_END);

    crash_facts facts;
    facts.executable_name = prepared.executable_name.c_str();
    facts.executable_path = prepared.executable_path.c_str();
    facts.where = where;
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
    fixed_text<256> user;
    fill_user(user);
    facts.user_name = user.c_str();

    utsname system{};
    fixed_text<128> osName;
    fixed_text<128> osVersion;
    if (uname(&system) == 0) {
        append_utf8(osName, system.sysname, std::strlen(system.sysname));
        osName.append(L" ");
        append_utf8(osName, system.machine, std::strlen(system.machine));
        append_utf8(osVersion, system.release, std::strlen(system.release));
    } else {
        osName.append(L"Unknown");
    }
    facts.os_name = osName.c_str();
    facts.os_version = osVersion.c_str();
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

    facts.process_time_known = process_seconds(facts.process_seconds);

    take_crash_context(facts);

    facts.parameter_count = event.parameter_count;
    facts.parameters[0] = event.parameters[0];
    facts.parameters[1] = event.parameters[1];
    fill_registers(*event.context, facts);
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint8_t byte = 0;
        facts.code_bytes[i] = read_own_memory(ip + i, &byte, 1) ? byte : unreadable_byte;
    }

    utf8_file_sink sink(report);
    writer.attach(sink);
    write_report_body(writer, facts);
    write_log_data_file();
    write_report_end(writer);
    writer.flush();
    report.finish("Error writing exception report\n");

    start_reporter();
    return true;
}

crash_event classify_signal(int signal, const siginfo_t& info, const ucontext_t& context) {
    crash_event event;
    event.signal = signal;
    event.signal_code = info.si_code;
    event.fault_address = reinterpret_cast<std::uintptr_t>(info.si_addr);
    event.context = &context;
    switch (signal) {
    case SIGSEGV: {
        const std::uintptr_t sp = stack_pointer(context);
        const std::uintptr_t address = event.fault_address;
        const std::uintptr_t distance = address > sp ? address - sp : sp - address;
        if (sp != 0 && distance <= 65536 && info.si_code > 0) {
            // A fault right at the stack pointer: the stack ran out.
            event.code = code_stack_overflow;
            break;
        }
        event.code = code_access_violation;
#if defined(__x86_64__)
        // Bit 1 of the page-fault error code tells a write.
        event.parameter_count = 2;
        event.parameters[0] = (context.uc_mcontext.gregs[REG_ERR] & 2) != 0 ? 1 : 0;
        event.parameters[1] = address;
#endif
        break;
    }
    case SIGBUS:
        event.code = info.si_code == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
        break;
    case SIGFPE:
        switch (info.si_code) {
        case FPE_INTDIV:
            event.code = 0xC0000094u;
            break;
        case FPE_INTOVF:
            event.code = 0xC0000095u;
            break;
        case FPE_FLTDIV:
            event.code = 0xC000008Eu;
            break;
        case FPE_FLTOVF:
            event.code = 0xC0000091u;
            break;
        case FPE_FLTUND:
            event.code = 0xC0000093u;
            break;
        case FPE_FLTRES:
            event.code = 0xC000008Fu;
            break;
        case FPE_FLTSUB:
            event.code = 0xC000008Cu;
            break;
        default:
            event.code = 0xC0000090u;
            break;
        }
        break;
    case SIGILL:
        event.code =
            info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? 0xC0000096u : 0xC000001Du;
        break;
    default:
        event.code = static_cast<std::uint32_t>(signal);
        break;
    }
    return event;
}

void fault_handler(int signal, siginfo_t* info, void* rawContext) {
    const int savedErrno = errno;
    const crash_event event =
        classify_signal(signal, *info, *static_cast<const ucontext_t*>(rawContext));
    if (write_crash_report(event, L"")) {
        _exit(crash_exit_code);
    }
    // No report: the signal takes its default course. A fault recurs when the instruction
    // runs again; a signal that was sent is sent again.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(signal, &defaults, nullptr);
    if (info->si_code <= 0) {
        raise(signal);
    }
    errno = savedErrno;
}

[[noreturn]] void terminate_handler() {
    ucontext_t context{};
    getcontext(&context);
    crash_event event;
    event.code = code_cpp_exception;
    event.context = &context;
    if (write_crash_report(event, L"")) {
        _exit(crash_exit_code);
    }
    if (previous_terminate != nullptr) {
        previous_terminate();
    }
    std::abort();
}

void prepare_facts() {
    const std::lock_guard lock(prepare_mutex);
    const std::wstring executable = module_file_path();
    const std::wstring path = executable.empty() ? L"Unknown" : executable;
    prepared.executable_path.clear();
    prepared.executable_path.append(path.c_str());
    const wchar_t* file = file_name_part(path.c_str(), L'/');
    prepared.executable_name.clear();
    prepared.executable_name.append(strip_extension<path_bytes>(file).c_str());

    const std::string narrowPath = wide_to_narrow(path, code_page_ansi);
    const std::string executableFolder = narrowPath.substr(0, narrowPath.rfind('/') + 1);
    std::string folder = wide_to_narrow(crash_settings::directory(), code_page_ansi);
    if (folder.empty()) {
        folder = executableFolder;
    } else if (folder.back() != '/') {
        folder += '/';
    }
    const auto set = [](auto& target, const std::string& value) {
        target.clear();
        target.append(value.c_str(), value.size());
    };
    set(prepared.dump_path, folder + "CRASH.DMP");
    set(prepared.report_path, folder + "CRASHLOG.TXT");
    set(prepared.data_path, folder + "CRASHLOG.DAT");
    set(prepared.reporter_path, executableFolder + "CrashReport");
    set(prepared.reporter_folder, executableFolder);
    set(prepared.reporter_argument, wide_to_narrow(crash_settings::display_name(), code_page_ansi) +
                                        narrowPath.substr(narrowPath.rfind('/') + 1));

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        prepared.utc_offset_seconds = local.tm_gmtoff;
    }
    prepared.processor_count = static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
    prepared.clock_ticks_per_second = sysconf(_SC_CLK_TCK);
}

void install_guard() {
    prepare_facts();
    struct sigaction action {};
    action.sa_sigaction = fault_handler;
    // SA_NODEFER: a fault inside the handler enters it again and ends the process at once.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : fault_signals) {
        sigaction(signal, &action, nullptr);
    }
    previous_terminate = std::set_terminate(terminate_handler);
}

// The calling thread's alternate signal stack for the length of a guarded call, so that a
// stack overflow can still be reported. The previous one comes back afterwards. Its pages are
// mapped untouched: they cost memory only once a handler runs on them.
class alternate_stack {
public:
    alternate_stack()
        : memory_(mmap(nullptr, alternate_stack_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0)) {
        if (memory_ == MAP_FAILED) {
            return;
        }
        stack_t stack{};
        stack.ss_sp = memory_;
        stack.ss_size = alternate_stack_bytes;
        installed_ = sigaltstack(&stack, &previous_) == 0;
    }
    ~alternate_stack() {
        if (installed_) {
            if ((previous_.ss_flags & SS_DISABLE) != 0) {
                previous_.ss_sp = nullptr;
                previous_.ss_size = 0;
            }
            sigaltstack(&previous_, nullptr);
        }
        if (memory_ != MAP_FAILED) {
            munmap(memory_, alternate_stack_bytes);
        }
    }
    alternate_stack(const alternate_stack&) = delete;
    alternate_stack& operator=(const alternate_stack&) = delete;

private:
    void* memory_;
    stack_t previous_{};
    bool installed_ = false;
};

} // namespace

void RunGuarded(const std::function<void()>& body) {
    static const bool installed = (install_guard(), true);
    (void)installed;
    const alternate_stack stack;
    body();
}

void install_invalid_parameter_handler() {}

namespace crash_settings {

void settings_changed() { prepare_facts(); }

} // namespace crash_settings

} // namespace Core_Common
