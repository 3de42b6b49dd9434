#include "Core_SocketARP/linux/StateStore_linux.h"

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace Core_SocketARP {
namespace {

using Core_Common::ScopedFd;

ScopedFd OpenDirectory(const std::string& path) {
    return ScopedFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace

StateFile::StateFile(std::string directory, std::string name)
    : directory_(std::move(directory)), name_(std::move(name)) {}

std::string StateFile::Where() const { return directory_ + "/" + name_; }

StateStore::ReadResult StateFile::ReadLines(const std::function<void(std::string_view)>& line) {
    const auto text = Load();
    if (!text) {
        return {};
    }
    std::size_t start = 0;
    while (start < text->size()) {
        const std::size_t end = std::min(text->find('\n', start), text->size());
        line(std::string_view(*text).substr(start, end - start));
        start = end + 1;
    }
    return {true, false};
}

std::string StateFile::KeepAside() {
    const ScopedFd directory = OpenDirectory(directory_);
    if (!directory || ::renameat(directory.get(), name_.c_str(), directory.get(),
                                 (name_ + ".bad").c_str()) != 0) {
        ThrowErrno();
    }
    return Where() + ".bad";
}

std::optional<std::string> StateFile::Load() {
    const ScopedFd directory = OpenDirectory(directory_);
    if (!directory) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        ThrowErrno();
    }
    const ScopedFd file(
        ::openat(directory.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        ThrowErrno();
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(file.get(), buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno();
        }
        if (length == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(length));
        if (text.size() > size_limit) {
            ThrowCode(EFBIG);
        }
    }
}

void StateFile::Save(const std::string& text) {
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

std::string StateDirectory() {
    const char* directories = std::getenv("STATE_DIRECTORY");
    if (directories == nullptr || *directories == '\0') {
        return "/var/lib/tarnwick-antiarp";
    }
    const std::string all(directories);
    return all.substr(0, all.find(':'));
}

std::unique_ptr<StateStore> SystemStateStore(const std::wstring& /*serviceName*/) {
    return std::make_unique<StateFile>(StateDirectory(), "gateways");
}

std::vector<std::unique_ptr<StateStore>> SystemTrustedStores(const std::wstring& /*serviceName*/) {
    return {};
}

} // namespace Core_SocketARP
