// The remembered gateways in the registry: the value "Gateways" of the service key's
// "Parameters" (Windows only).
#include "Core_Common/win/WinApi.h"

#include <aclapi.h>
#include <sddl.h>

#include "Core_Common/Utility.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_SocketARP/StateStore.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core_SocketARP {
namespace {

using Core_Common::ScopedRegistryKey;

constexpr const wchar_t* services_key = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t* parameters_name = L"Parameters";
constexpr const wchar_t* value_name = L"Gateways";
// Full control for SYSTEM and Administrators only; nothing inherited from the service key,
// which lets every user read.
constexpr const wchar_t* parameters_security = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
// A larger value is not the program's: it is refused rather than read.
constexpr DWORD size_limit = DWORD{1} << 20;

void Check(LSTATUS status) {
    if (status != ERROR_SUCCESS) {
        throw SystemErrorCode{static_cast<std::uint32_t>(status)};
    }
}

struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle invalid() { return nullptr; }
    static void close(Handle memory) { LocalFree(memory); }
};

// One string per line, as the registry editor shows a multi-string; empty lines are not kept.
std::wstring LinesToMultiString(const std::string& text) {
    const std::wstring wide = Core_Common::narrow_to_wide(text, Core_Common::code_page_ansi);
    std::wstring strings;
    std::size_t start = 0;
    while (start < wide.size()) {
        const std::size_t end = std::min(wide.find(L'\n', start), wide.size());
        if (end > start) {
            strings.append(wide, start, end - start);
            strings.push_back(L'\0');
        }
        start = end + 1;
    }
    strings.push_back(L'\0');
    return strings;
}

// The strings up to the first empty one or the end of the data, whether or not the value
// carries its terminators.
std::string MultiStringToLines(const std::wstring& strings) {
    std::wstring wide;
    std::size_t start = 0;
    while (start < strings.size()) {
        const std::size_t end = std::min(strings.find(L'\0', start), strings.size());
        if (end == start) {
            break;
        }
        wide.append(strings, start, end - start);
        wide.push_back(L'\n');
        start = end + 1;
    }
    return Core_Common::wide_to_narrow(wide, Core_Common::code_page_ansi);
}

class RegistryStateStore final : public StateStore {
public:
    explicit RegistryStateStore(const std::wstring& serviceName)
        : service_key_(services_key + serviceName) {}

    ReadResult ReadLines(const std::function<void(std::string_view)>& line) override {
        const auto text = Load();
        if (!text) {
            return {};
        }
        std::size_t start = 0;
        while (start < text->size()) {
            const std::size_t end = std::min(text->find('\n', start), text->size());
            line(std::string_view(*text).substr(start, end - start));
            start = end + 1;
        }
        return {true, false};
    }

    std::string KeepAside() override { throw SystemErrorCode{0}; }

    std::optional<std::string> Load() {
        HKEY opened = nullptr;
        const LSTATUS status =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, (service_key_ + L"\\" + parameters_name).c_str(), 0,
                          KEY_QUERY_VALUE, &opened);
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        Check(status);
        const ScopedRegistryKey key(opened);
        // The value may grow between the sizing call and the read: a few tries.
        for (int attempt = 0; attempt < 3; ++attempt) {
            DWORD type = 0;
            DWORD size = 0;
            LSTATUS result =
                RegQueryValueExW(key.get(), value_name, nullptr, &type, nullptr, &size);
            if (result == ERROR_FILE_NOT_FOUND) {
                return std::nullopt;
            }
            Check(result);
            if (type != REG_MULTI_SZ) {
                throw SystemErrorCode{ERROR_INVALID_DATA};
            }
            if (size > size_limit) {
                throw SystemErrorCode{ERROR_FILE_TOO_LARGE};
            }
            std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
            result = RegQueryValueExW(key.get(), value_name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()), &size);
            if (result == ERROR_MORE_DATA) {
                continue;
            }
            if (result == ERROR_FILE_NOT_FOUND) {
                return std::nullopt;
            }
            Check(result);
            if (type != REG_MULTI_SZ) {
                throw SystemErrorCode{ERROR_INVALID_DATA};
            }
            data.resize(size / sizeof(wchar_t));
            return MultiStringToLines(data);
        }
        throw SystemErrorCode{ERROR_MORE_DATA};
    }

    void Save(const std::string& text) override {
        HKEY opened = nullptr;
        LSTATUS status =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_key_.c_str(), 0, KEY_CREATE_SUB_KEY, &opened);
        // Debug mode without an installed service: there is nowhere to keep them.
        if (status == ERROR_FILE_NOT_FOUND) {
            throw SystemErrorCode{ERROR_SERVICE_DOES_NOT_EXIST};
        }
        Check(status);
        const ScopedRegistryKey service(opened);

        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                parameters_security, SDDL_REVISION_1, &descriptor, nullptr) == FALSE) {
            throw SystemErrorCode{GetLastError()};
        }
        const Core_Common::ScopedHandle<LocalMemoryTraits> descriptorMemory(descriptor);
        // Made with our rights, so that it is never open to others; and given them again,
        // since a key made before (by anyone) keeps its own, and not every implementation
        // applies the rights given at creation (Wine's does not).
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        opened = nullptr;
        Check(RegCreateKeyExW(service.get(), parameters_name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE | WRITE_DAC, &attributes, &opened, nullptr));
        const ScopedRegistryKey parameters(opened);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) == FALSE) {
            throw SystemErrorCode{GetLastError()};
        }
        Check(static_cast<LSTATUS>(
            SetSecurityInfo(parameters.get(), SE_REGISTRY_KEY,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, list, nullptr)));
        // One value write: a reader sees the old text or the new one, never a part.
        const std::wstring strings = LinesToMultiString(text);
        Check(RegSetValueExW(parameters.get(), value_name, 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(strings.data()),
                             static_cast<DWORD>(strings.size() * sizeof(wchar_t))));
    }

    std::string Where() const override {
        return "HKLM\\" + Core_Common::wide_to_narrow(service_key_ + L"\\" + parameters_name +
                                                          L"\\" + value_name,
                                                      Core_Common::code_page_ansi);
    }

private:
    std::wstring service_key_;
};

} // namespace

std::unique_ptr<StateStore> SystemStateStore(const std::wstring& serviceName) {
    return std::make_unique<RegistryStateStore>(serviceName);
}

std::vector<std::unique_ptr<StateStore>> SystemTrustedStores(const std::wstring& /*serviceName*/) {
    return {};
}

} // namespace Core_SocketARP
