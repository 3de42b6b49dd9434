// Whether the tests run under Wine, where some IP Helper entry points answer "not supported".
#pragma once

#include "Core_Common/win/WinApi.h"

namespace tw_test {

inline bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace tw_test
