#include "Core_Common/win/LibraryLoading_win.h"

#include "Core_Common/CrashReport.h"

namespace Core_Common {

void search_libraries_in_system_folder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set_directories =
        kernel == nullptr
            ? nullptr
            : reinterpret_cast<SetDefaultDllDirectoriesFunction>(
                  reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_directories != nullptr) {
        set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

HMODULE load_system_library(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    crash_report::fixed_text<MAX_PATH + 64> path(folder);
    path.append(L"\\");
    path.append(name);
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace Core_Common
