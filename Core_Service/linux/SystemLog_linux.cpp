// Linux: a service's standard output is the journal. Its lines then go to the journal's own
// socket as entries of its native protocol, each with its priority and, where it has them, its
// MESSAGE_ID and the link, gateway and MAC it is about; a line the socket does not take goes to
// standard output with its priority as a "<N>" prefix, which the journal reads too. Output that
// goes elsewhere (a console, a pipe, a file) stays as it is.
//
// The protocol is written here rather than through libsystemd's sd_journal_send: the program
// needs nothing but the C library, and libsystemd would bring half a dozen libraries (the
// compressors, libcap, libgcrypt) into a process that is to stay under 4 MiB resident.
#include "Core_Service/linux/SystemLog_linux.h"

#include "Core_Common/Utility.h"
#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_Service/SystemLog.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace Core_Service {
namespace {

// Asked for every write: standard output may be redirected while the process runs.
bool output_is_journal() {
    const char* journalStream = std::getenv("JOURNAL_STREAM");
    struct stat output {};
    return journalStream != nullptr && fstat(STDOUT_FILENO, &output) == 0 &&
           JournalStreamNames(journalStream, output.st_dev, output.st_ino);
}

// The service's unit, as the last part of the process's cgroup ("0::/system.slice/NAME"),
// when it is a service's.
std::string own_unit() {
    const Core_Common::ScopedFd file(::open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    const ssize_t length = file ? ::read(file.get(), buffer, sizeof buffer) : -1;
    if (length <= 0) {
        return {};
    }
    const std::string_view text(buffer, static_cast<std::size_t>(length));
    const std::size_t start = text.find("0::");
    if (start != 0 && (start == std::string_view::npos || text[start - 1] != '\n')) {
        return {};
    }
    std::string_view path = text.substr(start + 3);
    path = path.substr(0, path.find('\n'));
    const std::string_view unit = path.substr(path.rfind('/') + 1);
    const std::string_view suffix = ".service";
    return unit.size() > suffix.size() && unit.ends_with(suffix) ? std::string(unit) : "";
}

// The journal's socket, made at the first entry and kept. Never freed: lines may still come
// while the process ends.
struct Journal {
    std::mutex mutex;
    std::string path = "/run/systemd/journal/socket";
    Core_Common::ScopedFd socket;
    bool described = false;
    std::string identifier;
    std::string unit;
};

Journal& journal() {
    static Journal* const instance = new Journal;
    return *instance;
}

// Sends one entry whole; false when the journal did not take it.
bool send_entry(Journal& target, const std::string& entry) {
    if (!target.socket) {
        target.socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!target.socket) {
            return false;
        }
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (target.path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, target.path.data(), target.path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.path.size() + 1);
    for (;;) {
        const ssize_t sent = ::sendto(target.socket.get(), entry.data(), entry.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), length);
        if (sent >= 0 || errno != EINTR) {
            return sent == static_cast<ssize_t>(entry.size());
        }
    }
}

} // namespace

void UseJournalSocket(const std::string& path) {
    Journal& target = journal();
    const std::lock_guard lock(target.mutex);
    target.path = path;
}

void WriteLines(Severity severity, std::string_view text, const EventFields& fields) {
    if (!output_is_journal()) {
        WriteStandardOutput(text);
        return;
    }
    Journal& target = journal();
    const std::lock_guard lock(target.mutex);
    if (!target.described) {
        target.described = true;
        target.identifier = program_invocation_short_name;
        target.unit = own_unit();
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        // An empty line (after a system text's own line end) tells nothing.
        if (!line.empty() && !send_entry(target, JournalEntry(line, severity, fields,
                                                              target.identifier, target.unit))) {
            WriteStandardOutput(WithLinePriority(text.substr(start), JournalPriority(severity)));
            return;
        }
        start = end + 1;
    }
}

void WriteLines(Severity severity, std::string_view text) { WriteLines(severity, text, {}); }

void WriteLines(Severity severity, std::wstring_view text, const EventFields& fields) {
    WriteLines(severity,
               Core_Common::wide_to_narrow(std::wstring(text), Core_Common::code_page_ansi),
               fields);
}

void WriteLines(Severity severity, std::wstring_view text) { WriteLines(severity, text, {}); }

} // namespace Core_Service
