#include "Core_SocketARP/linux/StateStore_linux.h"

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/TextLines.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace Core_SocketARP {
namespace {

using Core_Common::ScopedFd;

ScopedFd OpenDirectory(const std::string& path) {
    return ScopedFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// What makes a file or directory of this owner and mode unfit to be trusted, as the end of a
// sentence; empty when nobody but root or the program's own user may have written it.
std::string OwnerOrModeFault(const struct stat& info) {
    const uid_t self = ::geteuid();
    if (info.st_uid != 0 && info.st_uid != self) {
        std::string fault = "is owned by user " + std::to_string(info.st_uid) + ", not by root";
        if (self != 0) {
            fault += " or user " + std::to_string(self);
        }
        return fault;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "is writable by its group or by others";
    }
    return {};
}

// The directory to read from, checked as the file is; an invalid descriptor when it is missing.
ScopedFd OpenTrustedDirectory(const std::string& path) {
    ScopedFd directory = OpenDirectory(path);
    if (!directory) {
        const int error = errno;
        if (error == ENOENT) {
            return directory;
        }
        struct stat info {};
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(path.c_str(), &info) == 0) {
            throw StoreRefused{S_ISLNK(info.st_mode) ? "is in a directory that is a symbolic link"
                                                     : "is under a path that is not a directory"};
        }
        ThrowCode(error);
    }
    struct stat info {};
    if (::fstat(directory.get(), &info) != 0) {
        ThrowErrno();
    }
    if (const std::string fault = OwnerOrModeFault(info); !fault.empty()) {
        throw StoreRefused{"is in a directory that " + fault};
    }
    return directory;
}

// The bytes read, 0 at the end of the file.
std::size_t ReadSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t length = ::read(fd, buffer, size);
        if (length >= 0) {
            return static_cast<std::size_t>(length);
        }
        if (errno != EINTR) {
            ThrowErrno();
        }
    }
}

// The first directory of a colon-separated list that systemd gives a service, else `fallback`.
std::string FirstDirectory(const char* variable, const char* fallback) {
    const char* directories = std::getenv(variable);
    if (directories == nullptr || *directories == '\0') {
        return fallback;
    }
    const std::string all(directories);
    return all.substr(0, all.find(':'));
}

} // namespace

StateFile::StateFile(std::string directory, std::string name, Access access)
    : directory_(std::move(directory)), name_(std::move(name)), access_(access) {}

std::string StateFile::Where() const { return directory_ + "/" + name_; }

StateStore::ReadResult StateFile::ReadLines(const std::function<void(std::string_view)>& line) {
    const ScopedFd directory = OpenTrustedDirectory(directory_);
    if (!directory) {
        return {};
    }
    // O_NONBLOCK: a FIFO put in the file's place opens at once instead of waiting for a writer
    // (and is then refused); O_NOFOLLOW: a link put there is refused, never followed.
    const ScopedFd file(::openat(directory.get(), name_.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        switch (errno) {
        case ENOENT:
            return {};
        case ELOOP:
            throw StoreRefused{"is a symbolic link"};
        case ENXIO: // a socket
            throw StoreRefused{"is not a regular file"};
        default:
            ThrowErrno();
        }
    }
    // What was opened, not what the name showed before: nothing can be swapped in between.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        ThrowErrno();
    }
    if (!S_ISREG(info.st_mode)) {
        throw StoreRefused{"is not a regular file"};
    }
    if (const std::string fault = OwnerOrModeFault(info); !fault.empty()) {
        throw StoreRefused{fault};
    }
    TextLines lines(line);
    char buffer[4096];
    while (lines.Room() > 0) {
        const std::size_t length =
            ReadSome(file.get(), buffer, std::min(sizeof buffer, lines.Room()));
        if (length == 0) {
            return lines.End();
        }
        lines.Add({buffer, length});
    }
    // At the limit: one byte more tells a longer text from one that ends here.
    lines.Add({buffer, ReadSome(file.get(), buffer, 1)});
    return lines.End();
}

void StateFile::Save(const std::string& text) {
    if (access_ == Access::read_only) {
        throw SystemErrorCode{0};
    }
    ScopedFd directory = OpenDirectory(directory_);
    if (!directory && errno == ENOENT) {
        if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
            ThrowErrno();
        }
        directory = OpenDirectory(directory_);
    }
    if (!directory) {
        ThrowErrno();
    }
    const std::string temporary = name_ + ".new";
    // Removes the temporary file and throws the errno of the step that failed.
    const auto discard = [&] {
        const SystemErrorCode error = LastErrno();
        ::unlinkat(directory.get(), temporary.c_str(), 0);
        throw error;
    };
    // A file left there by anyone (a link included) is removed, never written through.
    if (::unlinkat(directory.get(), temporary.c_str(), 0) != 0 && errno != ENOENT) {
        ThrowErrno();
    }
    {
        const ScopedFd file(::openat(directory.get(), temporary.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file) {
            ThrowErrno();
        }
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t length =
                ::write(file.get(), text.data() + written, text.size() - written);
            if (length < 0) {
                if (errno == EINTR) {
                    continue;
                }
                discard();
            }
            written += static_cast<std::size_t>(length);
        }
        if (::fsync(file.get()) != 0) {
            discard();
        }
    }
    if (::renameat(directory.get(), temporary.c_str(), directory.get(), name_.c_str()) != 0) {
        discard();
    }
    ::fsync(directory.get());
}

std::string StateFile::KeepAside() {
    if (access_ == Access::read_only) {
        throw SystemErrorCode{0};
    }
    const ScopedFd directory = OpenDirectory(directory_);
    if (!directory) {
        ThrowErrno();
    }
    // The entry itself is moved: whatever is there, a link included, is never followed; an
    // earlier one set aside is replaced.
    const std::string aside = name_ + ".bad";
    if (::renameat(directory.get(), name_.c_str(), directory.get(), aside.c_str()) != 0) {
        ThrowErrno();
    }
    ::fsync(directory.get());
    return directory_ + "/" + aside;
}

std::string StateDirectory() {
    return FirstDirectory("STATE_DIRECTORY", "/var/lib/tarnwick-antiarp");
}

std::string ConfigurationDirectory() {
    return FirstDirectory("CONFIGURATION_DIRECTORY", "/etc/tarnwick-antiarp");
}

std::unique_ptr<StateStore> SystemStateStore(const std::wstring& /*serviceName*/, bool readOnly) {
    return std::make_unique<StateFile>(StateDirectory(), "gateways",
                                       readOnly ? StateFile::Access::read_only
                                                : StateFile::Access::read_write);
}

std::vector<std::unique_ptr<StateStore>> SystemTrustedStores(const std::wstring& /*serviceName*/) {
    std::vector<std::unique_ptr<StateStore>> stores;
    stores.push_back(std::make_unique<StateFile>(ConfigurationDirectory(), "trusted-gateways",
                                                 StateFile::Access::read_only));
    return stores;
}

} // namespace Core_SocketARP
