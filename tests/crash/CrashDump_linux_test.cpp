// The Linux crash dump's memory lines, over memory with a page that cannot be read.
#include "Core_Common/linux/CrashDump_linux.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace cr = Core_Common::crash_report;

namespace {

std::string hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

} // namespace

// Three pages, the middle one unreadable; the range starts 8 bytes before it and ends 24 bytes
// after it. Every readable byte is printed, every byte of the middle page is "??".
TEST(CrashDumpMemory, UnreadableBytesArePrintedAsQuestionMarksAndTheRestAsRead) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    void* memory =
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(memory);
    for (std::uint64_t i = 0; i < 3 * page; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7);
    }
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    const auto base = reinterpret_cast<std::uint64_t>(memory);
    const std::uint64_t from = base + page - 8;
    const std::uint64_t to = base + 2 * page + 24;

    char pattern[] = "/tmp/tw-dump-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        cr::crash_file file(pattern);
        ASSERT_TRUE(file.valid());
        cr::write_memory_lines(file, from, to);
        file.finish("");
    }
    std::ifstream in(pattern);
    const std::string dump{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::remove(pattern);
    munmap(memory, 3 * page);

    std::string expected;
    for (std::uint64_t at = from & ~std::uint64_t{15}; at < to; at += 16) {
        expected += hex(at, 16) + " ";
        for (std::uint64_t address = at; address < at + 16; ++address) {
            if (address < from || address >= to) {
                expected += "   ";
            } else if (address >= base + page && address < base + 2 * page) {
                expected += " ??";
            } else {
                expected += " " + hex(static_cast<unsigned char>((address - base) * 7), 2);
            }
        }
        expected += "\n";
    }
    EXPECT_EQ(dump, expected);
}
