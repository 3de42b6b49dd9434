// Who may change a file or a folder, as Windows keeps it in the object's security descriptor
// (its owner and the entries of its access list), and the judgement whether anyone but the
// system's own accounts could change or replace what a service runs or writes: the program a
// service is installed with, the folder of the crash files, the crash reporter. The judgement is
// portable, so that it is tested everywhere against stand-in descriptors; Windows reads the real
// ones (Core_Common/win/ObjectSecurity_win.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Core_Common {

// The accounts the judgement tells apart.
enum class Account {
    system,            // LocalSystem, S-1-5-18
    administrators,    // the Administrators group, S-1-5-32-544
    trusted_installer, // the Windows Modules Installer service, S-1-5-80-956008885-...
    process_user,      // the account the judging process runs as (when none of the above)
    other,
};

// Access rights as Windows spells them in an access list.
namespace access {
inline constexpr std::uint32_t write_data = 0x0002;   // FILE_WRITE_DATA, FILE_ADD_FILE
inline constexpr std::uint32_t append_data = 0x0004;  // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
inline constexpr std::uint32_t delete_child = 0x0040; // FILE_DELETE_CHILD
inline constexpr std::uint32_t delete_object = 0x00010000;
inline constexpr std::uint32_t write_dac = 0x00040000;
inline constexpr std::uint32_t write_owner = 0x00080000;
inline constexpr std::uint32_t generic_all = 0x10000000;
inline constexpr std::uint32_t generic_write = 0x40000000;
} // namespace access

struct AccessEntry {
    Account account = Account::other;
    std::uint32_t mask = 0;
    bool allows = true;       // false: an entry that denies
    bool inheritOnly = false; // it applies to what the folder will hold, not to the folder
};

struct ObjectSecurity {
    std::wstring path;
    Account owner = Account::other;
    // No access list at all, which lets everyone do everything.
    bool nullDacl = false;
    // A symbolic link, junction or other reparse point: where it leads can change.
    bool isLink = false;
    std::vector<AccessEntry> entries;
};

// What the object is to the thing judged.
enum class ObjectRole {
    file,        // the file itself
    folder,      // the folder that holds it: whoever may add files there may plant beside it
    upper_folder // a folder further up: only replacing what it holds counts
};

// Whose changes are harmless.
enum class Trust {
    system_accounts,                 // SYSTEM, Administrators, TrustedInstaller: what a service
                                     // installed for LocalSystem runs
    system_accounts_and_process_user // also the process's own account, for what the process
                                     // itself writes or starts: that account has it anyway
};

// Why someone else could change or replace an object; `none` when no one can.
enum class Exposure { none, link, owner, access };

// The judgement of one object in its role. Deny entries are not weighed: they can only take
// rights away, and reading them as harmless errs on the side of refusing.
Exposure exposure_of(const ObjectSecurity& object, ObjectRole role, Trust trust);

// A chain of objects from the one judged up to the root: the file (or, for a folder that is
// itself the thing judged, the folder), then each folder above it. The first object of the chain
// that someone else could change, with why; `none` and the end of the chain when it is safe.
// An empty chain is safe: there is nothing to judge.
struct ChainExposure {
    Exposure exposure = Exposure::none;
    std::size_t index = 0;
};
ChainExposure first_exposure(const std::vector<ObjectSecurity>& chain, bool startsWithFolder,
                             Trust trust);

// The chain's folders above a path, from the path's own folder up to the root: "C:\a\b\c.exe"
// gives "C:\a\b", "C:\a", "C:\"; "\\server\share\a\c.exe" stops at "\\server\share\". Either
// separator is taken.
std::vector<std::wstring> folders_above(const std::wstring& path);

} // namespace Core_Common
