// The Windows installer under Wine's msiexec, end to end: the program where it belongs, the
// service registered through the installer's service tables (its command quoted by the
// installer's own step), started, and everything removed again; a package with a higher version
// replacing the installed one. The packages are scripts/package.sh's and, for the higher
// version, the same recipe's (packaging/msi/make-msi.sh).
#include "Core_SocketARP/StateStore.h"
#include "wine/WineServiceSupport.h"

#include <msi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace wine_test;
using Core_Common::ScopedFileHandle;

const std::wstring service_name = L"Tarnwick AntiARP";
const std::wstring upgrade_code = L"{6F0B5A8E-3C1D-4E27-9B4A-2D7C8E91A0F3}";
const fs::path install_folder = L"C:\\Program Files\\Tarnwick AntiARP";
const fs::path program = install_folder / L"antiarp.exe";
const std::wstring parameters_key =
    L"SYSTEM\\CurrentControlSet\\Services\\" + service_name + L"\\Parameters";

fs::path package_path(const char* path) { return fs::path(path).make_preferred(); }

// msiexec's exit code: 0 when the installation or removal succeeded.
DWORD msiexec(const std::wstring& action, const fs::path& package) {
    return run_program(L"msiexec.exe " + action + L" \"" + package.wstring() + L"\" /qn").code;
}

// The installed products of this upgrade code.
std::vector<std::wstring> installed_products() {
    std::vector<std::wstring> products;
    wchar_t product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade_code.c_str(), 0, i, product) == ERROR_SUCCESS;
         ++i) {
        products.emplace_back(product);
    }
    return products;
}

std::wstring product_version(const std::wstring& product) {
    wchar_t version[64] = L"";
    DWORD length = 64;
    MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length);
    return version;
}

// A string of the file's version resource, US English and Unicode.
std::wstring version_string(const std::vector<BYTE>& resource, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(resource.data(), path.c_str(), &value, &length) || length == 0) {
        return L"";
    }
    return static_cast<const wchar_t*>(value);
}

// The service as the program's own /install registers it, with its Event Log source, running
// the installed program.
void expect_installed_and_running() {
    EXPECT_TRUE(fs::is_regular_file(program));
    expect_registered(service_name, program);
    expect_event_source(program);
    EXPECT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
}

void expect_removed() {
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(key_exists(event_source_key));
    EXPECT_FALSE(fs::exists(install_folder));
    EXPECT_THAT(installed_products(), testing::IsEmpty());
}

class MsiWineTest : public testing::Test {
protected:
    void SetUp() override {
        // The service's name is fixed: a service of that name not made here is left alone.
        ASSERT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS))
            << "\"Tarnwick AntiARP\" is installed already";
        ASSERT_THAT(installed_products(), testing::IsEmpty());
    }

    // Whatever a failed test left installed goes.
    void TearDown() override {
        for (const auto& product : installed_products()) {
            run_program(L"msiexec.exe /x " + product + L" /qn");
        }
        remove_service(service_name);
    }
};

TEST_F(MsiWineTest, InstallsTheProgramAndItsServiceAndRemovesThemAgain) {
    ASSERT_EQ(msiexec(L"/i", package_path(PACKAGE)), 0u);
    expect_installed_and_running();
    const auto products = installed_products();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(product_version(products[0]), TW_VERSION);

    // The program carries the same version as the package, and the product's names.
    DWORD ignored = 0;
    std::vector<BYTE> resource(GetFileVersionInfoSizeW(program.c_str(), &ignored));
    ASSERT_FALSE(resource.empty());
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(resource.size()),
                                    resource.data()));
    EXPECT_EQ(version_string(resource, L"FileVersion"), TW_VERSION);
    EXPECT_EQ(version_string(resource, L"ProductVersion"), TW_VERSION);
    EXPECT_EQ(version_string(resource, L"ProductName"), L"Tarnwick AntiARP");
    EXPECT_THAT(version_string(resource, L"FileDescription"), testing::Not(testing::IsEmpty()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(resource.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS,
              static_cast<DWORD>(MAKELONG(TW_VERSION_MINOR, TW_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

    const DWORD process_id = query_status(service_name).dwProcessId;
    const ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    // The service's start made its crash folder. The files a crash leaves there, or beside the
    // program, go with it, and so does the folder.
    const fs::path crash_folder = fs::path(_wgetenv(L"ProgramData")) / L"Tarnwick AntiARP";
    EXPECT_TRUE(fs::is_directory(crash_folder));
    for (const fs::path& folder : {install_folder, crash_folder}) {
        for (const wchar_t* name : {L"CRASHLOG.TXT", L"CRASH.DMP", L"CRASHLOG.DAT"}) {
            const ScopedFileHandle file(CreateFileW((folder / name).c_str(), GENERIC_WRITE, 0,
                                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                    nullptr));
            EXPECT_TRUE(file) << narrow((folder / name).wstring());
        }
    }
    EXPECT_EQ(msiexec(L"/x", package_path(PACKAGE)), 0u);
    expect_removed();
    EXPECT_FALSE(fs::exists(crash_folder));
    // The removal stopped the service before deleting it.
    EXPECT_EQ(WaitForSingleObject(process.get(), give_up_ms), static_cast<DWORD>(WAIT_OBJECT_0));
}

// A service of the program's name that another copy's own /install made is not taken over (the
// package's removal would delete it and leave that copy without its service): the installation
// is refused with what to do, and nothing changes.
TEST_F(MsiWineTest, AServiceThatAnotherCopysInstallMadeIsNotTakenOver) {
    const std::wstring other = L"C:\\tw other copy\\antiarp.exe";
    {
        const ScopedServiceHandle manager(
            OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        const ScopedServiceHandle service(CreateServiceW(
            manager.get(), service_name.c_str(), service_name.c_str(), SERVICE_QUERY_CONFIG,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
            (L"\"" + other + L"\"").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }
    const fs::path log = fs::temp_directory_path() / L"tw-msi-other-service.log";
    const DWORD code = run_program(L"msiexec.exe /i \"" + package_path(PACKAGE).wstring() +
                                   L"\" /qn /l*v \"" + log.wstring() + L"\"")
                           .code;
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_THAT(installed_products(), testing::IsEmpty());
    EXPECT_FALSE(fs::exists(program));

    // The service still runs the other copy.
    const auto service = open_service(service_name, SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service);
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + other + L"\"");

    // The log says why and what to do.
    std::ifstream in(log, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    fs::remove(log);
    std::string text;
    for (char c : bytes) {
        if (c != '\0') { // the log may be UTF-16
            text += c;
        }
    }
    EXPECT_THAT(text, testing::HasSubstr(narrow(L"The service \"Tarnwick AntiARP\" is installed "
                                                L"already, for " +
                                                other)));
    EXPECT_THAT(text, testing::HasSubstr("/stop, then /uninstall"));
}

// The multi-string value `name` of the service's Parameters; "(none)" when there is none.
std::wstring parameter(const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), name, RRF_RT_REG_MULTI_SZ, nullptr,
                     nullptr, &size) != ERROR_SUCCESS) {
        return L"(none)";
    }
    std::wstring strings(size / sizeof(wchar_t), L'\0');
    RegGetValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), name, RRF_RT_REG_MULTI_SZ, nullptr,
                 strings.data(), &size);
    return strings;
}

// What the service remembered and what an administrator trusts stay through an upgrade and a
// repair, and go with the service.
TEST_F(MsiWineTest, AHigherVersionReplacesTheInstalledOneAndKeepsItsParameters) {
    ASSERT_EQ(msiexec(L"/i", package_path(PACKAGE)), 0u);
    const auto older = installed_products();
    ASSERT_EQ(older.size(), 1u);
    const std::wstring remembered(L"tarnwick-antiarp gateways 1\0eth0 10.0.0.1 020000000001\0\0",
                                  56);
    const std::wstring trusted(L"10.0.0.1 020000000001\0\0", 23);
    for (const auto& [name, strings] :
         {std::pair{L"Gateways", remembered}, std::pair{L"TrustedGateways", trusted}}) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key.c_str(), name, REG_MULTI_SZ,
                                  strings.data(),
                                  static_cast<DWORD>(strings.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }

    ASSERT_EQ(msiexec(L"/i", package_path(UPGRADE_PACKAGE)), 0u);
    const auto newer = installed_products();
    ASSERT_EQ(newer.size(), 1u);
    EXPECT_NE(newer[0], older[0]);
    EXPECT_EQ(product_version(newer[0]), UPGRADE_VERSION);
    expect_installed_and_running();
    EXPECT_EQ(parameter(L"Gateways"), remembered);
    EXPECT_EQ(parameter(L"TrustedGateways"), trusted);
    // And the program still takes them for its own: the key is SYSTEM's again.
    std::vector<std::string> lines;
    EXPECT_TRUE(Core_SocketARP::SystemStateStore(service_name)
                    ->ReadLines([&](std::string_view line) { lines.emplace_back(line); })
                    .found);
    EXPECT_THAT(lines,
                testing::ElementsAre("tarnwick-antiarp gateways 1", "eth0 10.0.0.1 020000000001"));

    // A repair (Wine's msiexec repairs no product by its code; its installer does).
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    ASSERT_EQ(MsiReinstallProductW(newer[0].c_str(), REINSTALLMODE_FILEREPLACE |
                                                         REINSTALLMODE_MACHINEDATA |
                                                         REINSTALLMODE_USERDATA),
              static_cast<UINT>(ERROR_SUCCESS));
    expect_installed_and_running();
    EXPECT_EQ(parameter(L"Gateways"), remembered);
    EXPECT_EQ(parameter(L"TrustedGateways"), trusted);

    EXPECT_EQ(msiexec(L"/x", package_path(UPGRADE_PACKAGE)), 0u);
    expect_removed();
    EXPECT_FALSE(key_exists(parameters_key));
}

} // namespace
