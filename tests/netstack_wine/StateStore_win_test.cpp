// The stored texts in the registry of the platform it runs on (Wine's prefix in CI), under a
// service key and a policy key that the tests make and remove.
#include "Core_Common/win/WinApi.h"

#include <sddl.h>

#include "Core_SocketARP/StateStore.h"
#include "fakes/CodeThrownBy.h"
#include "wine/WineServiceSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::StateStore;
using Core_SocketARP::StoreRefused;
using tw_test::CodeThrownBy;
using Lines = std::vector<std::string>;

const std::wstring service = L"Tarnwick AntiARP store test";
const std::wstring service_key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
const std::wstring parameters_key = service_key + L"\\Parameters";
const std::wstring policies_key = L"SOFTWARE\\Policies\\Tarnwick";
const std::wstring policy_key = policies_key + L"\\AntiARP";

// The lines of the stored text; nothing when none is stored.
std::optional<Lines> Read(StateStore& store) {
    Lines lines;
    if (!store.ReadLines([&](std::string_view line) { lines.emplace_back(line); }).found) {
        return std::nullopt;
    }
    return lines;
}

// Why the store refuses its text; "(read)" when it does not.
std::string Refusal(StateStore& store) {
    try {
        Read(store);
    } catch (const StoreRefused& refused) {
        return refused.reason;
    }
    return "(read)";
}

// The key's owner or access list in the security descriptor language.
std::wstring Security(const std::wstring& path, SECURITY_INFORMATION part) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS) {
        return L"(cannot open)";
    }
    DWORD size = 0;
    RegGetKeySecurity(key, part, nullptr, &size);
    std::vector<std::uint8_t> descriptor(size);
    std::wstring text = L"(cannot read)";
    LPWSTR converted = nullptr;
    if (RegGetKeySecurity(key, part, descriptor.data(), &size) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                             part, &converted, nullptr)) {
        text = converted;
        LocalFree(converted);
    }
    RegCloseKey(key);
    return text;
}

// Gives the key the owner and access list of `sddl`, as someone else could have.
void SetSecurity(const std::wstring& path, const wchar_t* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC | WRITE_OWNER, &key),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    EXPECT_EQ(
        RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor),
        ERROR_SUCCESS);
    LocalFree(descriptor);
    RegCloseKey(key);
}

void MakeKey(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetStrings(const std::wstring& path, const wchar_t* name, const std::wstring& strings) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_MULTI_SZ, strings.data(),
                              static_cast<DWORD>(strings.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

std::wstring Strings(const std::wstring& path, const wchar_t* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return L"(none)";
    }
    std::wstring strings(size / sizeof(wchar_t), L'\0');
    RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY, &type, strings.data(), &size);
    return type == REG_MULTI_SZ ? strings : L"(not a multi-string)";
}

// Nothing inherited from the service key, which lets every user read. (Wine keeps the access
// list but not its protection flag, "P" after "D:".)
bool ForSystemAndAdministratorsOnly(const std::wstring& access) {
    return access == L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)" ||
           access == L"D:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
}

class RegistryStateStoreTest : public testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, service_key.c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, policies_key.c_str());
    }
    void TearDown() override { SetUp(); }

    // What installing the service leaves: its key, without Parameters.
    static void MakeServiceKey() { MakeKey(service_key); }

    const std::string text = "tarnwick-antiarp gateways 1\n"
                             "{4D36E972-E325-11CE-BFC1-08002BE10318} 10.0.0.1 020000000001\n"
                             "{4D36E972-E325-11CE-BFC1-08002BE10319} 10.0.1.1 020000000002\n";
    const Lines lines = {"tarnwick-antiarp gateways 1",
                         "{4D36E972-E325-11CE-BFC1-08002BE10318} 10.0.0.1 020000000001",
                         "{4D36E972-E325-11CE-BFC1-08002BE10319} 10.0.1.1 020000000002"};
    const std::unique_ptr<StateStore> store = Core_SocketARP::SystemStateStore(service);
};

TEST_F(RegistryStateStoreTest, TextRoundTripsAsAMultiStringOfItsLinesUnderParameters) {
    MakeServiceKey();
    EXPECT_EQ(Read(*store), std::nullopt);
    store->Save(text);
    EXPECT_EQ(Read(*store), lines);
    // As an administrator finds it: one string a line.
    EXPECT_EQ(Strings(parameters_key, L"Gateways").substr(0, 29),
              std::wstring(L"tarnwick-antiarp gateways 1\0{", 29));

    store->Save("tarnwick-antiarp gateways 1\n"); // the whole value is replaced
    EXPECT_EQ(Read(*store), Lines{"tarnwick-antiarp gateways 1"});
    EXPECT_EQ(store->Where(), "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tarnwick AntiARP "
                              "store test\\Parameters\\Gateways");

    // Whatever the text holds comes back byte for byte: a CR, UTF-8, a byte that is none.
    store->Save("cr\r\n\xC3\xA9t\xC3\xA9\n\xFF\x80 x\n\n");
    EXPECT_EQ(Read(*store), (Lines{"cr\r", "\xC3\xA9t\xC3\xA9", "\xFF\x80 x"}));
    // Nothing becomes ASCII that was not: a full-width digit, a lone surrogate.
    SetStrings(parameters_key, L"Gateways", std::wstring(L"a\xFF10\0\xD800z\0b\0\0c\0", 11));
    EXPECT_EQ(Read(*store), (Lines{"a\xEF\xBC\x90", "\xED\xA0\x80z", "b"}));

    // A value of another type is not the program's.
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways", REG_SZ, L"x", 4),
        ERROR_SUCCESS);
    EXPECT_EQ(CodeThrownBy([&] { Read(*store); }), static_cast<std::uint32_t>(ERROR_INVALID_DATA));
}

TEST_F(RegistryStateStoreTest, ParametersAreSystemsAndForAdministratorsOnlyEvenWhenMadeBefore) {
    MakeServiceKey();
    store->Save(text);
    EXPECT_EQ(Security(parameters_key, OWNER_SECURITY_INFORMATION), L"O:SY");
    EXPECT_TRUE(ForSystemAndAdministratorsOnly(Security(parameters_key, DACL_SECURITY_INFORMATION)))
        << Security(parameters_key, DACL_SECURITY_INFORMATION);

    // Made by someone else, with the rights it inherits from the service key.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, parameters_key.c_str());
    MakeKey(parameters_key);
    SetSecurity(parameters_key, L"O:BUD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)");
    store->Save(text);
    EXPECT_EQ(Security(parameters_key, OWNER_SECURITY_INFORMATION), L"O:SY");
    EXPECT_TRUE(ForSystemAndAdministratorsOnly(Security(parameters_key, DACL_SECURITY_INFORMATION)))
        << Security(parameters_key, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(Read(*store), lines);
}

// What another account could have written there is not read, until the program saves again.
TEST_F(RegistryStateStoreTest, AKeyOthersOwnOrMayChangeIsRefused) {
    MakeServiceKey();
    store->Save(text);
    SetSecurity(parameters_key, L"O:BUD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
    EXPECT_EQ(Refusal(*store), "is owned by S-1-5-32-545, not by SYSTEM or Administrators");
    SetSecurity(parameters_key, L"O:BAD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;;KR;;;BU)");
    EXPECT_EQ(Refusal(*store), "(read)");
    SetSecurity(parameters_key, L"O:SYD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;;0x2;;;WD)");
    EXPECT_EQ(Refusal(*store), "lets S-1-1-0 change it (rights 0x00000002)");
    SetSecurity(parameters_key, L"O:SYD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;;WD;;;BU)");
    EXPECT_EQ(Refusal(*store), "lets S-1-5-32-545 change it (rights 0x00040000)");
    store->Save(text);
    EXPECT_EQ(Read(*store), lines);
}

// Debug mode without an installed service.
TEST_F(RegistryStateStoreTest, WithoutTheServiceKeyNothingIsReadAndSavingFails) {
    EXPECT_EQ(Read(*store), std::nullopt);
    EXPECT_EQ(CodeThrownBy([&] { store->Save(text); }),
              static_cast<std::uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(wine_test::key_exists(service_key));
}

TEST_F(RegistryStateStoreTest, ForgettingIsDeletingTheValueOrTheKey) {
    MakeServiceKey();
    store->Save(text);
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways"),
              ERROR_SUCCESS);
    EXPECT_EQ(Read(*store), std::nullopt);

    store->Save(text);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(Read(*store), std::nullopt);
}

TEST_F(RegistryStateStoreTest, ASetAsideTextStaysBesideTheNextSave) {
    MakeServiceKey();
    store->Save("old\n");
    const std::wstring old = Strings(parameters_key, L"Gateways");
    EXPECT_EQ(store->KeepAside(), store->Where() + ".bad");
    EXPECT_EQ(Read(*store), std::nullopt);
    EXPECT_EQ(Strings(parameters_key, L"Gateways.bad"), old);
    store->Save(text);
    EXPECT_EQ(Read(*store), lines);
    EXPECT_EQ(Strings(parameters_key, L"Gateways.bad"), old);
    store->KeepAside(); // replaces the earlier one
    EXPECT_EQ(Strings(parameters_key, L"Gateways.bad").substr(0, 11), L"tarnwick-an");
    EXPECT_EQ(CodeThrownBy([&] { store->KeepAside(); }),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// The administrator's, in Parameters and in the policy key, read and never written.
TEST_F(RegistryStateStoreTest, TrustedGatewaysAreReadFromParametersThenThePolicy) {
    const auto trusted = Core_SocketARP::SystemTrustedStores(service);
    ASSERT_EQ(trusted.size(), 2u);
    EXPECT_EQ(trusted[0]->Where(), "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tarnwick AntiARP "
                                   "store test\\Parameters\\TrustedGateways");
    EXPECT_EQ(trusted[1]->Where(), "HKLM\\SOFTWARE\\Policies\\Tarnwick\\AntiARP\\TrustedGateways");
    EXPECT_EQ(Read(*trusted[0]), std::nullopt);
    EXPECT_EQ(Read(*trusted[1]), std::nullopt);

    MakeServiceKey();
    store->Save(text);
    SetStrings(parameters_key, L"TrustedGateways", std::wstring(L"one\0two\0\0", 9));
    MakeKey(policy_key);
    SetSecurity(policy_key, L"O:BAD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)");
    SetStrings(policy_key, L"TrustedGateways", std::wstring(L"three\0\0", 7));
    EXPECT_EQ(Read(*trusted[0]), (Lines{"one", "two"}));
    EXPECT_EQ(Read(*trusted[1]), Lines{"three"});
    for (const auto& one : trusted) {
        EXPECT_EQ(CodeThrownBy([&] { one->Save(text); }), 0u);
        EXPECT_EQ(CodeThrownBy([&] { one->KeepAside(); }), 0u);
    }
    EXPECT_EQ(Read(*trusted[1]), Lines{"three"});

    // A policy key that users may write is not a policy.
    SetSecurity(policy_key, L"O:BAD:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KW;;;BU)");
    EXPECT_EQ(Refusal(*trusted[1]), "lets S-1-5-32-545 change it (rights 0x00020006)");
}

} // namespace
