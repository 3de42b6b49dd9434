#include "Core_Common/win/ObjectSecurity_win.h"

#include "Core_Common/win/ScopedHandle_win.h"

#include <aclapi.h>
#include <sddl.h>

namespace Core_Common {
namespace {

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsWellKnownSid(sid, type) != FALSE;
}

bool is_trusted_installer(PSID sid) {
    // NT SERVICE\TrustedInstaller: the service SID of "TrustedInstaller", the same everywhere.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID installer = nullptr;
    if (!AllocateAndInitializeSid(&nt, 6, SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649,
                                  1831038044, 1853292631, 2271478464, 0, 0, &installer)) {
        return false;
    }
    const bool same = EqualSid(sid, installer) != FALSE;
    FreeSid(installer);
    return same;
}

bool is_process_user(PSID sid) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return false;
    }
    const ScopedKernelHandle token(opened);
    // A SID is at most 68 bytes; TOKEN_USER adds one SID_AND_ATTRIBUTES.
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &length)) {
        return false;
    }
    return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

void read_entries(const ACL* dacl, ObjectSecurity& object) {
    if (dacl == nullptr) {
        object.nullDacl = true;
        return;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        AccessEntry entry;
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.mask = allowed->Mask;
            entry.account = account_of(const_cast<DWORD*>(&allowed->SidStart));
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* denied = static_cast<ACCESS_DENIED_ACE*>(ace);
            entry.allows = false;
            entry.mask = denied->Mask;
            entry.account = account_of(const_cast<DWORD*>(&denied->SidStart));
        } else {
            // Object and callback entries do not appear on files; one that does is taken as
            // granting everything to someone else, which refuses.
            entry.mask = access::generic_all;
        }
        object.entries.push_back(entry);
    }
}

} // namespace

Account account_of(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) {
        return Account::other;
    }
    if (is_well_known(sid, WinLocalSystemSid)) {
        return Account::system;
    }
    if (is_well_known(sid, WinBuiltinAdministratorsSid)) {
        return Account::administrators;
    }
    if (is_trusted_installer(sid)) {
        return Account::trusted_installer;
    }
    return is_process_user(sid) ? Account::process_user : Account::other;
}

bool read_file_security(const std::wstring& path, ObjectSecurity& object, std::uint32_t& error) {
    object = ObjectSecurity{};
    object.path = path;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        return false;
    }
    object.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status = GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &owner, nullptr, &dacl, nullptr, &raw);
    const ScopedLocalMemory descriptor(raw);
    if (status != ERROR_SUCCESS) {
        error = status;
        return false;
    }
    object.owner = account_of(owner);
    read_entries(dacl, object);
    return true;
}

bool read_path_chain(const std::wstring& path, std::vector<ObjectSecurity>& chain,
                     std::uint32_t& error) {
    chain.clear();
    std::vector<std::wstring> paths{path};
    for (auto& folder : folders_above(path)) {
        paths.push_back(std::move(folder));
    }
    for (const auto& each : paths) {
        ObjectSecurity object;
        if (!read_file_security(each, object, error)) {
            return false;
        }
        chain.push_back(std::move(object));
    }
    return true;
}

ScopedLocalMemory security_descriptor(const wchar_t* text) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return ScopedLocalMemory();
    }
    return ScopedLocalMemory(descriptor);
}

Account owner_of(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owner, nullptr, nullptr, nullptr, &raw);
    const ScopedLocalMemory descriptor(raw);
    return status == ERROR_SUCCESS ? account_of(owner) : Account::other;
}

} // namespace Core_Common
