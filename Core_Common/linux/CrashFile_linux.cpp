#include "Core_Common/linux/CrashFile_linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Core_Common::crash_report {

bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
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

crash_file::crash_file(const char* path) {
    unlink(path);
    fd_.reset(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_SYNC | O_CLOEXEC, 0644));
}

void crash_file::write(const char* bytes, std::size_t count) {
    if (!failed_ && !write_all(fd_.get(), bytes, count)) {
        failed_ = true;
    }
}

void crash_file::finish(const char* failure) {
    fd_.reset();
    if (failed_) {
        debug_output(failure);
    }
}

void utf8_file_sink::write_units(const wchar_t* units, std::size_t count) {
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

} // namespace Core_Common::crash_report
