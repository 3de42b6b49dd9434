#include "Core_Common/linux/CrashReporter_linux.h"

#include "Core_Common/linux/CrashFile_linux.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Core_Common::crash_report {
namespace {

// Whether a file or folder may be trusted to run as this process: it belongs to root or to the
// process's own user, and nobody else may write it (a sticky folder keeps others' hands off
// what is not theirs).
bool owned_safely(const struct stat& status) {
    const bool owner = status.st_uid == 0 || status.st_uid == geteuid();
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return owner && (!othersWrite || (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0));
}

// The reporter runs with this process's rights, root's for the service: it is started only
// when nobody else could have put it there or changed it, neither the file nor its folder.
bool reporter_trusted(const prepared_facts& prepared) {
    struct stat file {};
    struct stat folder {};
    return fstatat(AT_FDCWD, prepared.reporter_path.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(file.st_mode) && owned_safely(file) &&
           fstatat(AT_FDCWD, prepared.reporter_folder.c_str(), &folder, 0) == 0 &&
           S_ISDIR(folder.st_mode) && owned_safely(folder);
}

} // namespace

void start_reporter(const prepared_facts& prepared) {
    if (!reporter_trusted(prepared)) {
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
    const int error = posix_spawn(&child, prepared.reporter_path.c_str(), nullptr, &attributes,
                                  arguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        narrow_text<96> line;
        line.append("Error starting crash reporter: error ")
            .append_unsigned(static_cast<unsigned>(error))
            .append("\n");
        debug_output(line.c_str());
    }
}

} // namespace Core_Common::crash_report
