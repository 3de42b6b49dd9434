// The crash files on Linux and standard error, for the crash path: system calls on fixed
// buffers only, so the signal handler may use everything here.
#pragma once

#include "Core_Common/CrashReport.h"
#include "Core_Common/FixedText.h"
#include "Core_Common/linux/ScopedFd_linux.h"

#include <cstddef>

namespace Core_Common::crash_report {

// False when not every byte could be written (a full disk, an I/O error).
bool write_all(int fd, const char* bytes, std::size_t count);

// A line on standard error, where the crash path says what went wrong.
void debug_output(const char* text);

// One crash file being written. It is made anew and never through a link: whatever has its
// name is removed first, and a name taken again before the creation makes the creation fail.
// It remembers a write that did not go through, to say so once the file is done.
class crash_file {
public:
    explicit crash_file(const char* path);

    bool valid() const { return fd_.valid(); }
    int get() const { return fd_.get(); }

    void write(const char* bytes, std::size_t count);
    template <std::size_t N> void write(const narrow_text<N>& text) {
        write(text.c_str(), text.size());
    }

    // Closes the file; on a failed write, says so on standard error with `failure`.
    void finish(const char* failure);

private:
    ScopedFd fd_;
    bool failed_ = false;
};

// The report file's sink: wide units to UTF-8.
class utf8_file_sink final : public report_sink {
public:
    explicit utf8_file_sink(crash_file& file) : file_(file) {}

    void write_units(const wchar_t* units, std::size_t count) override;

private:
    crash_file& file_;
};

} // namespace Core_Common::crash_report
