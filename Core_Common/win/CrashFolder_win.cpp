#include "Core_Common/win/CrashFolder_win.h"

#include "Core_Common/CrashGuard.h"
#include "Core_Common/win/ObjectSecurity_win.h"

#include <vector>

namespace Core_Common {

bool use_protected_crash_folder(const std::wstring& folderName) {
    wchar_t base[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    std::wstring folder(base, length);
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
