// The remembered gateways in the registry of the platform it runs on (Wine's prefix in CI),
// under a service key that the tests make and remove.
#include "Core_Common/win/WinApi.h"

#include <sddl.h>

#include "Core_SocketARP/GatewayMemory.h"
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

using Core_SocketARP::GatewayMemory;
using tw_test::CodeThrownBy;

const std::wstring service = L"Tarnwick AntiARP store test";
const std::wstring service_key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
const std::wstring parameters_key = service_key + L"\\Parameters";

// The key's access list in the security descriptor language.
std::wstring Access(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS) {
        return L"(cannot open)";
    }
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<std::uint8_t> descriptor(size);
    std::wstring text = L"(cannot read)";
    LPWSTR converted = nullptr;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) ==
            ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &converted, nullptr)) {
        text = converted;
        LocalFree(converted);
    }
    RegCloseKey(key);
    return text;
}

// The stored text, its lines joined again.
std::optional<std::string> Load(Core_SocketARP::StateStore& store) {
    std::string text;
    if (!store.ReadLines([&](std::string_view line) { text.append(line).append("\n"); }).found) {
        return std::nullopt;
    }
    return text;
}

class RegistryStateStoreTest : public testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, service_key.c_str()); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, service_key.c_str()); }

    // What installing the service leaves: its key, without Parameters.
    static void MakeServiceKey() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, service_key.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    const std::string text = GatewayMemory::Encode(
        {{{"{4D36E972-E325-11CE-BFC1-08002BE10318}", "10.0.0.1"}, {0x02, 0, 0, 0, 0, 0x01}},
         {{"{4D36E972-E325-11CE-BFC1-08002BE10319}", "10.0.1.1"}, {0x02, 0, 0, 0, 0, 0x02}}});
    const std::unique_ptr<Core_SocketARP::StateStore> store =
        Core_SocketARP::SystemStateStore(service);
};

TEST_F(RegistryStateStoreTest, TextRoundTripsAsAMultiStringOfItsLinesUnderParameters) {
    MakeServiceKey();
    EXPECT_EQ(Load(*store), std::nullopt);
    store->Save(text);
    EXPECT_EQ(Load(*store), text);

    // As an administrator finds it: one string per line.
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways", RRF_RT_ANY,
                           &type, nullptr, &size),
              ERROR_SUCCESS);
    std::wstring strings(size / sizeof(wchar_t), L'\0');
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways", RRF_RT_ANY,
                           &type, strings.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(strings.substr(0, 29), std::wstring(L"tarnwick-antiarp gateways 1\0{", 29));

    store->Save(GatewayMemory::Encode({})); // the whole value is replaced
    EXPECT_EQ(Load(*store), GatewayMemory::Encode({}));
    EXPECT_EQ(store->Where(), "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tarnwick AntiARP "
                              "store test\\Parameters\\Gateways");

    // A value of another type is not the program's.
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways", REG_SZ, L"x", 4),
        ERROR_SUCCESS);
    EXPECT_EQ(CodeThrownBy([&] { Load(*store); }), static_cast<std::uint32_t>(ERROR_INVALID_DATA));
}

// Nothing inherited from the service key, which lets every user read. (Wine keeps the access
// list but not its protection flag, "P" after "D:".)
bool ForSystemAndAdministratorsOnly(const std::wstring& access) {
    return access == L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)" ||
           access == L"D:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";
}

TEST_F(RegistryStateStoreTest, ParametersAreForSystemAndAdministratorsOnlyEvenWhenMadeBefore) {
    MakeServiceKey();
    store->Save(text);
    EXPECT_TRUE(ForSystemAndAdministratorsOnly(Access(parameters_key))) << Access(parameters_key);

    // Made by someone else, with the rights it inherits from the service key.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, parameters_key.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_FALSE(ForSystemAndAdministratorsOnly(Access(parameters_key)));
    store->Save(text);
    EXPECT_TRUE(ForSystemAndAdministratorsOnly(Access(parameters_key))) << Access(parameters_key);
}

// Debug mode without an installed service.
TEST_F(RegistryStateStoreTest, WithoutTheServiceKeyNothingIsLoadedAndSavingFails) {
    EXPECT_EQ(Load(*store), std::nullopt);
    EXPECT_EQ(CodeThrownBy([&] { store->Save(text); }),
              static_cast<std::uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(wine_test::key_exists(service_key));
}

TEST_F(RegistryStateStoreTest, ForgettingIsDeletingTheValueOrTheKey) {
    MakeServiceKey();
    store->Save(text);
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), L"Gateways"),
              ERROR_SUCCESS);
    EXPECT_EQ(Load(*store), std::nullopt);

    store->Save(text);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(Load(*store), std::nullopt);
}

} // namespace
