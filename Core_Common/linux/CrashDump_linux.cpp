#include "Core_Common/linux/CrashDump_linux.h"

#include "Core_Common/linux/ScopedFd_linux.h"

#include <fcntl.h>
#include <unistd.h>

namespace Core_Common::crash_report {
namespace {

constexpr std::uint64_t stack_dump_limit = std::uint64_t{1} << 20;

// The stack is read in aligned blocks of this size, one system call each: a page size is a
// multiple of it, so a block is readable as a whole or lies in a page that is not.
constexpr std::uint64_t read_block_bytes = 4096;

// The block being printed, and which of its bytes could be read. Static: one report runs per
// process, and the failing thread's stack may have little room left.
std::uint8_t block_bytes[read_block_bytes];
bool block_readable[read_block_bytes];

// Reads the part of the block at `block` that lies in [from, to): at once, and byte by byte
// where that fails, so that only the bytes that cannot be read are missing.
void read_block(std::uint64_t block, std::uint64_t from, std::uint64_t to) {
    const std::uint64_t begin = block > from ? block : from;
    const std::uint64_t end = block + read_block_bytes < to ? block + read_block_bytes : to;
    const std::size_t offset = begin - block;
    const std::size_t count = end - begin;
    const std::size_t got = read_own_memory(begin, block_bytes + offset, count);
    for (std::size_t i = offset; i < offset + count; ++i) {
        block_readable[i] = i < offset + got || read_own_memory(block + i, &block_bytes[i], 1) == 1;
    }
}

} // namespace

void write_memory_lines(crash_file& file, std::uint64_t from, std::uint64_t to) {
    // Lines go out some 60 at a time: the crash files are written through to the disk, one
    // system call a write.
    static narrow_text<4096> lines;
    lines.clear();
    narrow_text<128> line;
    std::uint64_t loaded = 1; // no block: blocks start at multiples of read_block_bytes
    for (std::uint64_t at = from & ~std::uint64_t{15}; at < to; at += 16) {
        line.clear();
        line.append_unsigned(at, 16, 16).append(" ");
        for (std::uint64_t address = at; address < at + 16; ++address) {
            if (address < from || address >= to) {
                line.append("   ");
                continue;
            }
            const std::uint64_t block = address & ~(read_block_bytes - 1);
            if (block != loaded) {
                read_block(block, from, to);
                loaded = block;
            }
            const std::size_t i = address - block;
            if (block_readable[i]) {
                line.append(" ").append_unsigned(block_bytes[i], 16, 2);
            } else {
                line.append(" ??");
            }
        }
        line.append("\n");
        if (lines.size() + line.size() > lines.capacity()) {
            file.write(lines);
            lines.clear();
        }
        lines.append(line.c_str(), line.size());
    }
    file.write(lines);
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
