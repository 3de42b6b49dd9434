#include "Core_Common/ObjectSecurity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Core_Common;

AccessEntry allow(Account account, std::uint32_t mask) { return {account, mask, true, false}; }

// A folder as Windows keeps "C:\Program Files\<folder>": TrustedInstaller, SYSTEM and the
// Administrators change it, users read and run what it holds, the creator-owner entry only passes
// on to what is made inside.
ObjectSecurity program_files_folder() {
    ObjectSecurity folder;
    folder.owner = Account::administrators;
    folder.entries = {allow(Account::trusted_installer, 0x001F01FF),
                      allow(Account::system, 0x001301BF),
                      allow(Account::administrators, 0x001301BF),
                      allow(Account::other, 0x001200A9),                  // Users: read and execute
                      {Account::other, access::generic_all, true, true}}; // CREATOR OWNER
    return folder;
}

// A drive's root: authenticated users may add folders to it.
ObjectSecurity drive_root() {
    ObjectSecurity root = program_files_folder();
    root.owner = Account::system;
    root.entries.push_back(allow(Account::other, access::append_data));
    return root;
}

ObjectSecurity program_file() {
    ObjectSecurity file = program_files_folder();
    file.entries.pop_back();
    return file;
}

struct Case {
    const char* what;
    ObjectSecurity object;
    ObjectRole role;
    Trust trust;
    Exposure expected;
};

ObjectSecurity with(ObjectSecurity object, AccessEntry entry) {
    object.entries.push_back(entry);
    return object;
}

ObjectSecurity owned_by(ObjectSecurity object, Account owner) {
    object.owner = owner;
    return object;
}

TEST(ObjectSecurity, OnlyTheSystemsAccountsMayChangeWhatAServiceRuns) {
    const Trust system = Trust::system_accounts;
    const Trust own = Trust::system_accounts_and_process_user;
    ObjectSecurity link = program_file();
    link.isLink = true;
    ObjectSecurity open = program_file();
    open.nullDacl = true;
    const Case cases[] = {
        {"a protected program", program_file(), ObjectRole::file, system, Exposure::none},
        {"its protected folder", program_files_folder(), ObjectRole::folder, system,
         Exposure::none},
        {"a drive's root above", drive_root(), ObjectRole::upper_folder, system, Exposure::none},
        {"the root as the folder itself: others may add there", drive_root(), ObjectRole::folder,
         system, Exposure::access},
        {"owned by a user", owned_by(program_file(), Account::other), ObjectRole::file, system,
         Exposure::owner},
        {"owned by the installing user", owned_by(program_file(), Account::process_user),
         ObjectRole::file, system, Exposure::owner},
        {"what the process itself writes may be its own",
         owned_by(program_file(), Account::process_user), ObjectRole::file, own, Exposure::none},
        {"a link", link, ObjectRole::file, own, Exposure::link},
        {"no access list", open, ObjectRole::file, system, Exposure::access},
        {"users may write the file",
         with(program_file(), allow(Account::other, access::write_data)), ObjectRole::file, system,
         Exposure::access},
        {"users may append to it", with(program_file(), allow(Account::other, access::append_data)),
         ObjectRole::file, system, Exposure::access},
        {"users may delete it", with(program_file(), allow(Account::other, access::delete_object)),
         ObjectRole::file, system, Exposure::access},
        {"users may rewrite its access list",
         with(program_file(), allow(Account::other, access::write_dac)), ObjectRole::file, system,
         Exposure::access},
        {"users may take it over", with(program_file(), allow(Account::other, access::write_owner)),
         ObjectRole::file, system, Exposure::access},
        {"users have it all", with(program_file(), allow(Account::other, access::generic_all)),
         ObjectRole::file, system, Exposure::access},
        {"users may write it, generically",
         with(program_file(), allow(Account::other, access::generic_write)), ObjectRole::file,
         system, Exposure::access},
        {"a denial takes nothing away",
         with(program_file(), {Account::other, 0x001F01FF, false, false}), ObjectRole::file, system,
         Exposure::none},
        {"users may add files beside it",
         with(program_files_folder(), allow(Account::other, access::write_data)),
         ObjectRole::folder, system, Exposure::access},
        {"users may delete what the folder holds",
         with(program_files_folder(), allow(Account::other, access::delete_child)),
         ObjectRole::folder, system, Exposure::access},
        {"users may delete what a folder above holds",
         with(drive_root(), allow(Account::other, access::delete_child)), ObjectRole::upper_folder,
         system, Exposure::access},
        {"users may rename a folder above",
         with(drive_root(), allow(Account::other, access::delete_object)), ObjectRole::upper_folder,
         system, Exposure::access},
        {"the process's own account may add to its own folder",
         with(program_files_folder(), allow(Account::process_user, access::write_data)),
         ObjectRole::folder, own, Exposure::none},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(exposure_of(each.object, each.role, each.trust), each.expected) << each.what;
    }
}

// The first object of a chain that someone else could change, each judged in its role.
TEST(ObjectSecurity, AChainIsJudgedFromTheFileUpToTheRoot) {
    const Trust system = Trust::system_accounts;
    const std::vector<ObjectSecurity> protected_chain = {program_file(), program_files_folder(),
                                                         program_files_folder(), drive_root()};
    EXPECT_EQ(first_exposure(protected_chain, false, system).exposure, Exposure::none);
    EXPECT_EQ(first_exposure(protected_chain, false, system).index, 4u);
    EXPECT_EQ(first_exposure({}, false, system).exposure, Exposure::none);

    auto user_folder = protected_chain;
    user_folder[2] = owned_by(program_files_folder(), Account::other);
    const ChainExposure found = first_exposure(user_folder, false, system);
    EXPECT_EQ(found.exposure, Exposure::owner);
    EXPECT_EQ(found.index, 2u);

    // The root adds nothing that counts above a folder, everything that counts as the folder.
    const std::vector<ObjectSecurity> in_root = {program_file(), drive_root()};
    EXPECT_EQ(first_exposure(in_root, false, system).exposure, Exposure::access);
    EXPECT_EQ(first_exposure({program_files_folder(), drive_root()}, true, system).exposure,
              Exposure::none);
    EXPECT_EQ(first_exposure({drive_root()}, true, system).exposure, Exposure::access);
}

TEST(ObjectSecurity, FoldersAboveAPathReachItsRoot) {
    using Folders = std::vector<std::wstring>;
    EXPECT_EQ(folders_above(L"C:\\Program Files\\Tarnwick\\antiarp.exe"),
              (Folders{L"C:\\Program Files\\Tarnwick", L"C:\\Program Files", L"C:\\"}));
    EXPECT_EQ(folders_above(L"C:\\antiarp.exe"), (Folders{L"C:\\"}));
    EXPECT_EQ(folders_above(L"C:\\ProgramData\\Tarnwick AntiARP\\"),
              (Folders{L"C:\\ProgramData", L"C:\\"}));
    EXPECT_EQ(folders_above(L"C:/a/b.exe"), (Folders{L"C:/a", L"C:/"}));
    EXPECT_EQ(folders_above(L"\\\\server\\share\\a\\b.exe"),
              (Folders{L"\\\\server\\share\\a", L"\\\\server\\share\\"}));
    EXPECT_EQ(folders_above(L"C:\\"), Folders{});
    EXPECT_EQ(folders_above(L"antiarp.exe"), Folders{});
}

} // namespace
