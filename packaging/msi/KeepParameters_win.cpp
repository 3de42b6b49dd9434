// The installer's steps that carry the service's Parameters (the remembered and the trusted
// gateways, and whatever else an administrator put there) across a major upgrade. The
// installed version's removal deletes its service, and the Service Control Manager deletes
// the service's key with it; the values are read before and written back once the new
// service is registered.
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"
#include "Core_SocketARP/app/Program.h"
#include "packaging/msi/MsiProperty_win.h"

#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Core_Common::ScopedRegistryKey;

const std::wstring parameters_key =
    std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service_name + L"\\Parameters";
// As the program makes the key: SYSTEM's, for SYSTEM and Administrators only.
constexpr const wchar_t* parameters_security = L"O:SYD:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// Each value as "type,name,data;": the type in hexadecimal, the name's and the data's bytes
// two hexadecimal digits each, so that nothing in them can end a field.
void AppendHex(std::wstring& text, const std::uint8_t* bytes, std::size_t size) {
    constexpr const wchar_t* digits = L"0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
}

bool ReadHex(const std::wstring& text, std::size_t& at, std::vector<std::uint8_t>& bytes) {
    const auto digit = [](wchar_t c) -> int {
        return c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
    };
    bytes.clear();
    while (at + 1 < text.size() && digit(text[at]) >= 0 && digit(text[at + 1]) >= 0) {
        bytes.push_back(static_cast<std::uint8_t>(digit(text[at]) * 16 + digit(text[at + 1])));
        at += 2;
    }
    return at < text.size();
}

} // namespace

// Immediate, before the installed version is removed for an upgrade: the values of the
// service's Parameters into the property that the deferred step below gets as its
// CustomActionData. Nothing to keep, or nothing readable, leaves the property unset.
extern "C" __declspec(dllexport) UINT __stdcall KeepServiceParameters(MSIHANDLE install) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    const ScopedRegistryKey key(opened);
    DWORD count = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    std::wstring kept;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<std::uint8_t> data(longestData);
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(key.get(), i, name.data(), &nameLength, nullptr, &type, data.data(),
                          &size) != ERROR_SUCCESS) {
            continue;
        }
        kept += std::to_wstring(type) + L',';
        AppendHex(kept, reinterpret_cast<const std::uint8_t*>(name.data()),
                  nameLength * sizeof(wchar_t));
        kept += L',';
        AppendHex(kept, data.data(), size);
        kept += L';';
    }
    if (!kept.empty()) {
        MsiSetPropertyW(install, L"RestoreServiceParameters", kept.c_str());
    }
    return ERROR_SUCCESS;
}

// Deferred, as the local system, once the new version's service is registered: the kept
// values into its Parameters, which is made as the program makes it.
extern "C" __declspec(dllexport) UINT __stdcall RestoreServiceParameters(MSIHANDLE install) {
    const std::wstring kept = msi_property(install, L"CustomActionData");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(parameters_security, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return ERROR_INSTALL_FAILURE;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HKEY opened = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, &attributes, &opened, nullptr);
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS) {
        return ERROR_INSTALL_FAILURE;
    }
    const ScopedRegistryKey key(opened);
    std::vector<std::uint8_t> name;
    std::vector<std::uint8_t> data;
    for (std::size_t at = 0; at < kept.size();) {
        DWORD type = 0;
        while (at < kept.size() && kept[at] >= L'0' && kept[at] <= L'9') {
            type = type * 10 + static_cast<DWORD>(kept[at++] - L'0');
        }
        if (at >= kept.size() || kept[at++] != L',' || !ReadHex(kept, at, name) ||
            kept[at++] != L',' || !ReadHex(kept, at, data) || kept[at++] != L';') {
            return ERROR_INSTALL_FAILURE;
        }
        std::wstring valueName(name.size() / sizeof(wchar_t), L'\0');
        std::copy(name.begin(), name.begin() + valueName.size() * sizeof(wchar_t),
                  reinterpret_cast<std::uint8_t*>(valueName.data()));
        if (RegSetValueExW(key.get(), valueName.c_str(), 0, type, data.data(),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}
