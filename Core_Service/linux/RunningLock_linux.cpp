// The running lock's file: only its owner may open it, in a folder only its owner may write, so
// that no other user can take the lock (flock needs nothing but an open descriptor) and so keep
// every start from running.
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Core_Service {
namespace {

// The lock's folder, made if missing and made this process's own if it is not: owned by it and
// written by nobody else. Under systemd it is the service's runtime directory, already so.
ScopedFd own_folder(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            return {};
        }
        ScopedFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder) {
            // A symbolic link or a file where the folder belongs: its parent is the owner's
            // (/run is root's), so whatever it is was put there by the owner; it goes.
            if ((errno == ELOOP || errno == ENOTDIR) && unlink(path.c_str()) == 0) {
                continue;
            }
            return {};
        }
        struct stat info {};
        if (fstat(folder.get(), &info) != 0) {
            return {};
        }
        // Taken over, not trusted: a file already in it is checked on its own below.
        if (info.st_uid != geteuid() && fchown(folder.get(), geteuid(), getegid()) != 0) {
            return {};
        }
        if ((info.st_mode & 07022) != 0 && fchmod(folder.get(), info.st_mode & 0755) != 0) {
            return {};
        }
        return folder;
    }
    return {};
}

// A lock file a run of this program made: a regular file of this process's user, with one name,
// that nobody else may open.
bool is_own_lock(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0 &&
           info.st_nlink == 1;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

RunningLock TakeRunningLock(const std::string& path, ScopedFd& lock) {
    const std::size_t slash = path.rfind('/');
    const ScopedFd folder = own_folder(path.substr(0, slash));
    if (!folder) {
        return RunningLock::unavailable;
    }
    const std::string name = path.substr(slash + 1);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Not inherited: a child holding the open file would hold the lock after this process.
        ScopedFd file(
            openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat opened {};
        if (!file) {
            if (errno != ELOOP ||
                fstatat(folder.get(), name.c_str(), &opened, AT_SYMLINK_NOFOLLOW) != 0) {
                return RunningLock::unavailable;
            }
        } else if (fstat(file.get(), &opened) != 0) {
            return RunningLock::unavailable;
        } else if (is_own_lock(opened)) {
            int locked = 0;
            while ((locked = flock(file.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
            }
            if (locked != 0) {
                return errno == EWOULDBLOCK ? RunningLock::held_elsewhere
                                            : RunningLock::unavailable;
            }
            // Another start may have replaced the file meanwhile (below): the lock counts only
            // on the file that bears the name.
            struct stat named {};
            if (fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                same_file(named, opened)) {
                lock = std::move(file);
                return RunningLock::taken;
            }
            continue;
        }
        // Not ours (left by an earlier version, made by someone else, a link): whoever opened
        // it may hold its lock for ever, so it is replaced rather than repaired. Only if the
        // name still is that file: another start may have replaced it already.
        struct stat named {};
        if (fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(named, opened) && unlinkat(folder.get(), name.c_str(), 0) != 0) {
            return RunningLock::unavailable;
        }
    }
    return RunningLock::unavailable;
}

} // namespace Core_Service
