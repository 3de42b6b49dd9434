#include "Core_Common/win/CrashFolder_win.h"

#include "Core_Common/CrashGuard.h"
#include "Core_Common/win/ObjectSecurity_win.h"

#include <vector>

namespace Core_Common {

namespace {

// The system's ProgramData folder, where the installer puts the crash folder too
// (CommonAppDataFolder): as the system records it, else from the environment. The variable
// alone may say otherwise in a service (Wine's services have it at C:\users\Public).
std::wstring program_data_folder() {
    wchar_t base[MAX_PATH] = {};
    DWORD bytes = sizeof base;
    // RRF_RT_REG_SZ takes a REG_EXPAND_SZ too, and expands it.
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                     L"ProgramData", RRF_RT_REG_SZ, nullptr, base, &bytes) == ERROR_SUCCESS &&
        base[0] != L'\0') {
        return base;
    }
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    if (length != 0 && length < MAX_PATH) {
        return {base, length};
    }
    return {};
}

} // namespace

bool use_protected_crash_folder(const std::wstring& folderName) {
    std::wstring folder = program_data_folder();
    if (folder.empty()) {
        return false;
    }
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    folder += folderName;

    // Inherited by the files made inside; an existing folder keeps what it has and is judged.
    SecurityAttributes security(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    CreateDirectoryW(folder.c_str(), security.get());
    std::vector<ObjectSecurity> chain;
    std::uint32_t error = 0;
    if (!read_path_chain(folder, chain, error) ||
        first_exposure(chain, true, Trust::system_accounts_and_process_user).exposure !=
            Exposure::none) {
        return false;
    }
    set_crash_directory(folder);
    return true;
}

} // namespace Core_Common
