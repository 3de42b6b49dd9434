#include "Core_Common/Thread.h"
#include "Core_Common/Utility.h"
#include "Core_Common/win/WinApi.h"

namespace Core_Common::thread_helper {
namespace {

// SetThreadDescription and GetThreadDescription came with Windows 10 (and are missing from
// older Wine): looked up at run time.
template <class Function> Function thread_api(const char* name) {
    for (const wchar_t* library : {L"kernel32.dll", L"kernelbase.dll"}) {
        const HMODULE module = GetModuleHandleW(library);
        if (module == nullptr) {
            continue;
        }
        if (const FARPROC address = GetProcAddress(module, name)) {
            return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
        }
    }
    return nullptr;
}

using set_description_function = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using get_description_function = HRESULT(WINAPI*)(HANDLE, PWSTR*);

} // namespace

void apply_to_current_thread(const std::string& name, thread_priority_enum priority) {
    SetThreadPriority(GetCurrentThread(), windows_thread_priority(priority));
    static const auto set_description =
        thread_api<set_description_function>("SetThreadDescription");
    if (set_description != nullptr && !name.empty()) {
        set_description(GetCurrentThread(), narrow_to_wide(name, code_page_ansi).c_str());
    }
}

std::string current_thread_name() {
    static const auto get_description =
        thread_api<get_description_function>("GetThreadDescription");
    wchar_t* description = nullptr;
    if (get_description == nullptr || FAILED(get_description(GetCurrentThread(), &description)) ||
        description == nullptr) {
        return {};
    }
    std::string name = wide_to_narrow(description, code_page_ansi);
    LocalFree(description);
    return name;
}

int current_thread_priority() { return GetThreadPriority(GetCurrentThread()); }

} // namespace Core_Common::thread_helper
