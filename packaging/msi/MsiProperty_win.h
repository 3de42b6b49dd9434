// A property of the installation, as the installer's own steps read it.
#pragma once

#include "Core_Common/win/WinApi.h"

#include <msi.h>
#include <msiquery.h>

#include <string>

// The property's value; empty when it has none or it cannot be read.
inline std::wstring msi_property(MSIHANDLE install, const wchar_t* name) {
    wchar_t probe[1] = L"";
    DWORD length = 0;
    if (MsiGetPropertyW(install, name, probe, &length) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(length + 1, L'\0');
    length += 1;
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(length);
    return value;
}
