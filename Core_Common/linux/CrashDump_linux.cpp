#include "Core_Common/linux/CrashDump_linux.h"

#include "Core_Common/linux/ScopedFd_linux.h"

#include <fcntl.h>
#include <unistd.h>

namespace Core_Common::crash_report {
namespace {

constexpr std::uint64_t stack_dump_limit = std::uint64_t{1} << 20;

} // namespace

void write_memory_lines(crash_file& file, std::uint64_t from, std::uint64_t to) {
    narrow_text<128> text;
    for (std::uint64_t at = from & ~std::uint64_t{15}; at < to; at += 16) {
        text.clear();
        text.append_unsigned(at, 16, 16).append(" ");
        for (std::uint64_t i = 0; i < 16; ++i) {
            std::uint8_t byte = 0;
            if (at + i < from || at + i >= to) {
                text.append("   ");
            } else if (read_own_memory(at + i, &byte, 1) == 1) {
                text.append(" ").append_unsigned(byte, 16, 2);
            } else {
                text.append(" ??");
            }
        }
        text.append("\n");
        file.write(text);
    }
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
        const ScopedFd mapsFile(open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
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
    write_memory_lines(file, sp, end);
    text.clear();
    text.append("\n[end]\n");
    file.write(text);
}

} // namespace Core_Common::crash_report
