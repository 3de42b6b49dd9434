// The stored texts in the registry (Windows only): the remembered gateways in the value
// "Gateways" of the service key's "Parameters", the administrator's trusted gateways in the
// value "TrustedGateways" of Parameters and of the policy key. A key is read only when SYSTEM
// or Administrators own it and nobody else may change it; the program makes Parameters so.
#include "Core_Common/win/WinApi.h"

#include <aclapi.h>
#include <sddl.h>

#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_SocketARP/KeyAccess.h"
#include "Core_SocketARP/StateStore.h"
#include "Core_SocketARP/TextLines.h"
#include "Core_SocketARP/win/RegistryText_win.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core_SocketARP {
namespace {

static_assert(key_rights::set_value == KEY_SET_VALUE &&
              key_rights::create_sub_key == KEY_CREATE_SUB_KEY &&
              key_rights::create_link == KEY_CREATE_LINK && key_rights::remove == DELETE &&
              key_rights::write_dac == WRITE_DAC && key_rights::write_owner == WRITE_OWNER &&
              key_rights::generic_all == GENERIC_ALL && key_rights::generic_write == GENERIC_WRITE);

using Core_Common::ScopedRegistryKey;

constexpr const wchar_t* services_key = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t* parameters_name = L"Parameters";
constexpr const wchar_t* policy_key = L"SOFTWARE\\Policies\\Tarnwick\\AntiARP";
constexpr const wchar_t* gateways_value = L"Gateways";
constexpr const wchar_t* trusted_value = L"TrustedGateways";
// Full control for SYSTEM and Administrators only; nothing inherited from the service key,
// which lets every user read.
constexpr const wchar_t* parameters_security = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

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
using ScopedLocalMemory = Core_Common::ScopedHandle<LocalMemoryTraits>;

std::string SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text) == FALSE) {
        throw SystemErrorCode{GetLastError()};
    }
    const ScopedLocalMemory memory(text);
    return FromRegistryString(text);
}

// The key's owner and access list, for the judgement.
KeyAccess ReadAccess(HKEY key) {
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    Check(static_cast<LSTATUS>(GetSecurityInfo(
        key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
        nullptr, &list, nullptr, &descriptor)));
    const ScopedLocalMemory memory(descriptor);
    KeyAccess access;
    access.owner = owner != nullptr ? SidText(owner) : std::string("(no owner)");
    access.has_list = list != nullptr;
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(list, i, &ace) == FALSE) {
            throw SystemErrorCode{GetLastError()};
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        KeyAccessEntry entry;
        entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
            entry.kind = KeyAccessEntry::Kind::allow;
            break;
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
            entry.kind = KeyAccessEntry::Kind::deny;
            break;
        default: // object entries and the like: their trustee is elsewhere, and unread
            entry.kind = KeyAccessEntry::Kind::unknown;
            break;
        }
        if (entry.kind != KeyAccessEntry::Kind::unknown) {
            // The four kinds above share the layout of ACCESS_ALLOWED_ACE.
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.mask = allowed->Mask;
            entry.trustee = SidText(&allowed->SidStart);
        }
        access.entries.push_back(std::move(entry));
    }
    return access;
}

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool over = false; // longer than the limit: not read
};

// The value's type and data, or nothing when there is no such value.
std::optional<Value> QueryValue(HKEY key, const wchar_t* name, DWORD limit) {
    // The value may grow between the sizing call and the read: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Value value;
        DWORD size = 0;
        LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        Check(status);
        if (size > limit) {
            value.over = true;
            return value;
        }
        value.data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        Check(status);
        value.data.resize(size);
        return value;
    }
    throw SystemErrorCode{ERROR_MORE_DATA};
}

// Gives the key to SYSTEM, with the access list that `descriptor` holds: a key's owner may
// always rewrite its access list, so whoever made the key before would keep that right.
void Secure(HKEY key, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) == FALSE) {
        throw SystemErrorCode{GetLastError()};
    }
    const auto give = [&](WELL_KNOWN_SID_TYPE owner) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        if (CreateWellKnownSid(owner, nullptr, sid, &size) == FALSE) {
            throw SystemErrorCode{GetLastError()};
        }
        return SetSecurityInfo(key, SE_REGISTRY_KEY,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               sid, nullptr, list, nullptr);
    };
    DWORD status = give(WinLocalSystemSid);
    // A run as an administrator (debug mode) may give the key only to itself or its groups.
    if (status == ERROR_INVALID_OWNER) {
        status = give(WinBuiltinAdministratorsSid);
    }
    Check(static_cast<LSTATUS>(status));
}

// One value of a key under HKLM: the remembered gateways are read and written, the trusted
// ones only read.
class RegistryStore final : public StateStore {
public:
    RegistryStore(std::wstring key, std::wstring value, REGSAM view, bool readOnly)
        : key_(std::move(key)), value_(std::move(value)), view_(view), read_only_(readOnly) {}

    ReadResult ReadLines(const std::function<void(std::string_view)>& line) override {
        HKEY opened = nullptr;
        const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0,
                                             KEY_QUERY_VALUE | READ_CONTROL | view_, &opened);
        if (status == ERROR_FILE_NOT_FOUND) {
            return {};
        }
        Check(status);
        const ScopedRegistryKey key(opened);
        if (const auto untrusted = UntrustedKey(ReadAccess(key.get()))) {
            throw StoreRefused{*untrusted};
        }
        // The text has a byte a character or more: a value of more characters than the limit
        // (and its last terminator) is beyond it, and is not read at all.
        const auto value =
            QueryValue(key.get(), value_.c_str(), (size_limit + 1) * sizeof(wchar_t));
        if (!value) {
            return {};
        }
        if (value->type != REG_MULTI_SZ) {
            throw SystemErrorCode{ERROR_INVALID_DATA};
        }
        if (value->over) {
            return {true, true};
        }
        std::wstring strings(value->data.size() / sizeof(wchar_t), L'\0');
        std::memcpy(strings.data(), value->data.data(), strings.size() * sizeof(wchar_t));
        // One line a string, up to the first empty one or the end of the data, whether or not
        // the value carries its terminators.
        TextLines lines(line);
        for (std::size_t start = 0; start < strings.size();) {
            const std::size_t end = std::min(strings.find(L'\0', start), strings.size());
            if (end == start) {
                break;
            }
            if (lines.Room() == 0) {
                lines.Add("\n"); // a string beyond the limit: the text is truncated
                break;
            }
            lines.Add(FromRegistryString(std::wstring_view(strings).substr(start, end - start)) +
                      '\n');
            start = end + 1;
        }
        return lines.End();
    }

    void Save(const std::string& text) override {
        if (read_only_) {
            throw SystemErrorCode{0};
        }
        const std::wstring serviceKey = key_.substr(0, key_.rfind(L'\\'));
        HKEY opened = nullptr;
        LSTATUS status =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, serviceKey.c_str(), 0, KEY_CREATE_SUB_KEY, &opened);
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
        const ScopedLocalMemory descriptorMemory(descriptor);
        // Made with our rights, so that it is never open to others; and given them again,
        // with its owner, since a key made before (by anyone) keeps its own, and not every
        // implementation applies the rights given at creation (Wine's does not).
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        opened = nullptr;
        Check(RegCreateKeyExW(service.get(), parameters_name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER, &attributes, &opened,
                              nullptr));
        const ScopedRegistryKey key(opened);
        Secure(key.get(), descriptor);
        // One string a line, as the registry editor shows a multi-string; empty lines are not
        // kept. One value write: a reader sees the old text or the new one, never a part.
        const std::wstring wide = ToRegistryString(text);
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
        Check(RegSetValueExW(key.get(), value_.c_str(), 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(strings.data()),
                             static_cast<DWORD>(strings.size() * sizeof(wchar_t))));
    }

    std::string KeepAside() override {
        if (read_only_) {
            throw SystemErrorCode{0};
        }
        HKEY opened = nullptr;
        Check(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            &opened));
        const ScopedRegistryKey key(opened);
        const auto value = QueryValue(key.get(), value_.c_str(), MAXDWORD);
        if (!value) {
            throw SystemErrorCode{ERROR_FILE_NOT_FOUND};
        }
        // Copied whole, whatever its type, then removed: the next save cannot overwrite it.
        const std::wstring aside = value_ + L".bad";
        Check(RegSetValueExW(key.get(), aside.c_str(), 0, value->type, value->data.data(),
                             static_cast<DWORD>(value->data.size())));
        Check(RegDeleteValueW(key.get(), value_.c_str()));
        return Describe(aside);
    }

    std::string Where() const override { return Describe(value_); }

private:
    std::string Describe(const std::wstring& value) const {
        return "HKLM\\" + FromRegistryString(key_ + L"\\" + value);
    }

    std::wstring key_;
    std::wstring value_;
    REGSAM view_;
    bool read_only_;
};

std::wstring ParametersKey(const std::wstring& serviceName) {
    return services_key + serviceName + L"\\" + parameters_name;
}

} // namespace

std::unique_ptr<StateStore> SystemStateStore(const std::wstring& serviceName, bool readOnly) {
    return std::make_unique<RegistryStore>(ParametersKey(serviceName), gateways_value, 0, readOnly);
}

std::vector<std::unique_ptr<StateStore>> SystemTrustedStores(const std::wstring& serviceName) {
    std::vector<std::unique_ptr<StateStore>> stores;
    stores.push_back(
        std::make_unique<RegistryStore>(ParametersKey(serviceName), trusted_value, 0, true));
    // A 64-bit system's policy client writes the native view, not the one a 32-bit program
    // sees by default.
    stores.push_back(
        std::make_unique<RegistryStore>(policy_key, trusted_value, KEY_WOW64_64KEY, true));
    return stores;
}

} // namespace Core_SocketARP
