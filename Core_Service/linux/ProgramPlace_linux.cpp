// Whether a program file could be replaced by someone else than root: the service runs it with
// the rights to change the ARP tables.
#include "Core_Common/Utility.h"
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace Core_Service {
namespace {

std::wstring cannot_examine(const std::string& place, int error) {
    return Core_Common::ansi_to_wide(place) + L" cannot be examined (" +
           Core_Common::system_error_text(static_cast<std::uint32_t>(error)) + L")";
}

} // namespace

std::wstring ReplaceablePlace(const std::string& path, uid_t user) {
    // The real path: a symbolic link on the way would be replaceable itself, and its owner is not
    // the one that counts.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        return cannot_examine(path, errno);
    }
    // From the file up to the root: whoever may write a folder may rename or replace what is in
    // it, the sticky bit only keeps others' names; so any write bit for the group or for others
    // counts, also that of /tmp.
    std::string place = resolved;
    for (;;) {
        struct stat info {};
        if (lstat(place.c_str(), &info) != 0) {
            return cannot_examine(place, errno);
        }
        if (info.st_uid != 0 && info.st_uid != user) {
            return Core_Common::ansi_to_wide(place) + L" belongs to user " +
                   std::to_wstring(info.st_uid);
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
            return Core_Common::ansi_to_wide(place) +
                   L" can be written by others than its owner (mode " +
                   Core_Common::ansi_to_wide(mode) + L")";
        }
        if (place == "/") {
            return {};
        }
        const std::size_t slash = place.rfind('/');
        place = slash == 0 ? "/" : place.substr(0, slash);
    }
}

} // namespace Core_Service
