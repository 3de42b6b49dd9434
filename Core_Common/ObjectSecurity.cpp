#include "Core_Common/ObjectSecurity.h"

namespace Core_Common {
namespace {

// Whoever holds one of these on an object can replace it, or give themselves the rights to.
constexpr std::uint32_t replacing_rights = access::delete_object | access::write_dac |
                                           access::write_owner | access::generic_all |
                                           access::generic_write;

std::uint32_t rights_that_count(ObjectRole role) {
    switch (role) {
    case ObjectRole::file:
        // Writing or appending changes the file itself.
        return replacing_rights | access::write_data | access::append_data;
    case ObjectRole::folder:
        // Adding a file or folder plants it beside the judged one (a DLL the program loads, a
        // crash reporter, a link with a crash file's name); deleting a child replaces it.
        return replacing_rights | access::write_data | access::append_data | access::delete_child;
    case ObjectRole::upper_folder:
        // Adding folders is allowed to everyone on a drive's root; only removing (and then
        // replacing) the folder on the way down counts.
        break;
    }
    return replacing_rights | access::delete_child;
}

bool trusted(Account account, Trust trust) {
    switch (account) {
    case Account::system:
    case Account::administrators:
    case Account::trusted_installer:
        return true;
    case Account::process_user:
        return trust == Trust::system_accounts_and_process_user;
    case Account::other:
        break;
    }
    return false;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The length of the path's root ("C:\", "\\server\share\", "/"), 0 for a relative path.
std::size_t root_length(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && is_separator(path[2])) {
        return 3;
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        const std::size_t server_end = path.find_first_of(L"\\/", 2);
        if (server_end == std::wstring::npos) {
            return path.size();
        }
        const std::size_t share_end = path.find_first_of(L"\\/", server_end + 1);
        return share_end == std::wstring::npos ? path.size() : share_end + 1;
    }
    return !path.empty() && is_separator(path[0]) ? 1 : 0;
}

} // namespace

Exposure exposure_of(const ObjectSecurity& object, ObjectRole role, Trust trust) {
    if (object.isLink) {
        return Exposure::link;
    }
    if (!trusted(object.owner, trust)) {
        // The owner may always rewrite the access list.
        return Exposure::owner;
    }
    if (object.nullDacl) {
        return Exposure::access;
    }
    const std::uint32_t counted = rights_that_count(role);
    for (const AccessEntry& entry : object.entries) {
        if (entry.allows && !entry.inheritOnly && (entry.mask & counted) != 0 &&
            !trusted(entry.account, trust)) {
            return Exposure::access;
        }
    }
    return Exposure::none;
}

ChainExposure first_exposure(const std::vector<ObjectSecurity>& chain, bool startsWithFolder,
                             Trust trust) {
    for (std::size_t i = 0; i < chain.size(); ++i) {
        ObjectRole role = ObjectRole::upper_folder;
        if (i == 0) {
            role = startsWithFolder ? ObjectRole::folder : ObjectRole::file;
        } else if (i == 1 && !startsWithFolder) {
            role = ObjectRole::folder;
        }
        const Exposure exposure = exposure_of(chain[i], role, trust);
        if (exposure != Exposure::none) {
            return {exposure, i};
        }
    }
    return {Exposure::none, chain.size()};
}

std::vector<std::wstring> folders_above(const std::wstring& path) {
    const std::size_t root = root_length(path);
    std::wstring current = path;
    while (current.size() > root && is_separator(current.back())) {
        current.pop_back();
    }
    std::vector<std::wstring> folders;
    while (current.size() > root) {
        const std::size_t separator = current.find_last_of(L"\\/");
        if (separator == std::wstring::npos) {
            break;
        }
        // The root keeps its separator: "C:\" is a folder, "C:" is not.
        current.resize(separator + 1 <= root ? root : separator);
        folders.push_back(current);
    }
    return folders;
}

} // namespace Core_Common
