// The service host under Wine, end to end: the service test program installed, started,
// controlled, stopped and removed through Wine's Service Control Manager and registry.
#include "Core_Common/Utility.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"
#include "Core_Service/CommandLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using Core_Common::ScopedKernelHandle;
using Core_Common::ScopedServiceHandle;
namespace fs = std::filesystem;
using namespace Core_Service;
using testing::Contains;
using testing::ElementsAre;

const std::wstring description =
    L"Protect you against ARP attack in the local network, attackers can no longer sniff your "
    L"traffic.";

// Bounds a wait that should end soon; reached only when the behaviour is broken.
constexpr DWORD give_up_ms = 30000;

std::string narrow(const std::wstring& text) {
    return Core_Common::wide_to_narrow(text, Core_Common::code_page_ansi);
}

// Console lines as the program's text-mode output carries them.
std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

std::string failure_line(DWORD code) {
    // The system's text ends its own line; text-mode output turns each "\n" into "\r\n".
    return crlf("[ERROR][ServiceDispatcher][ error_code = " + std::to_string(code) + " ] " +
                narrow(Core_Common::system_error_text(code)) + "\n");
}

struct ProgramResult {
    DWORD code = 0xFFFFFFFF;
    std::string output;
};

// Runs a command line with standard output on a pipe; waits for its end.
ProgramResult run_program(std::wstring commandLine) {
    ProgramResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return result;
    }
    const ScopedKernelHandle reader(read_end);
    ScopedKernelHandle writer(write_end);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return result;
    }
    const ScopedKernelHandle child(process.hProcess);
    const ScopedKernelHandle thread(process.hThread);
    writer.reset();
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(reader.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        result.output.append(buffer, got);
    }
    WaitForSingleObject(child.get(), give_up_ms);
    GetExitCodeProcess(child.get(), &result.code);
    return result;
}

ScopedServiceHandle open_service(const std::wstring& name, DWORD access) {
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ScopedServiceHandle(OpenServiceW(manager.get(), name.c_str(), access));
}

DWORD query_state(const std::wstring& name) {
    const auto service = open_service(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) {
        return 0;
    }
    return status.dwCurrentState;
}

// The Service Control Manager signals no state change to a client here: ask until the state
// comes, within the bound.
bool wait_for_state(const std::wstring& name, DWORD state) {
    const DWORD start = GetTickCount();
    while (query_state(name) != state) {
        if (GetTickCount() - start > give_up_ms) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

class ServiceHostWineTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        const std::wstring tag =
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        // Blanks in the folder and the file name: the registered command must quote them.
        folder = fs::path(L"C:\\tw service tests") / (L"run " + tag);
        fs::create_directories(folder);
        program = folder / (L"svc " + tag + L".exe");
        ASSERT_TRUE(CopyFileW(fs::path(SERVICE_HOST_PROGRAM).make_preferred().c_str(),
                              program.c_str(), FALSE));
        service_name = L"Tarnwick Test svc " + tag;
        events = program.wstring() + L".events";
    }

    void TearDown() override {
        RemoveService();
        // The service's process may still be ending; its files go when it has.
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::error_code failure;
            fs::remove_all(folder, failure);
            if (!failure) {
                break;
            }
            Sleep(50);
        }
        std::error_code ignored;
        fs::remove(folder.parent_path(), ignored); // only once empty
    }

    void RemoveService() {
        const auto service =
            open_service(service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        if (!service) {
            return;
        }
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) &&
            status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            wait_for_state(service_name, SERVICE_STOPPED);
        }
        DeleteService(service.get());
    }

    // Runs the program with one argument; its output, after checking its exit code 0.
    std::string Run(const std::wstring& argument) {
        const ProgramResult result = run_program(L"\"" + program.wstring() + L"\" " + argument);
        EXPECT_EQ(result.code, 0u) << narrow(argument);
        return result.output;
    }

    std::vector<std::string> Events() const {
        std::vector<std::string> lines;
        std::ifstream in(events);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    fs::path folder;
    fs::path program;
    fs::path events;
    std::wstring service_name;
};

TEST_F(ServiceHostWineTest, InstallRegistersTheQuotedPathAndTheDescription) {
    EXPECT_EQ(Run(L"/install"), "Service Register successed.\r\n");
    const std::wstring key =
        L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + service_name + L"\"";
    const ProgramResult described = run_program(L"reg.exe query " + key + L" /v Description");
    EXPECT_EQ(described.code, 0u);
    EXPECT_THAT(described.output, testing::HasSubstr("REG_SZ    " + narrow(description)));
    const ProgramResult image = run_program(L"reg.exe query " + key + L" /v ImagePath");
    EXPECT_THAT(image.output,
                testing::HasSubstr("REG_SZ    \"" + narrow(program.wstring()) + "\"\r\n"));

    const auto service = open_service(service_name, SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service) << "error " << GetLastError();
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + program.wstring() + L"\"");
    EXPECT_EQ(std::wstring(config->lpDisplayName), service_name);
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
}

TEST_F(ServiceHostWineTest, InstallOfAnInstalledServiceFailsAndWritesNoDescription) {
    EXPECT_EQ(Run(L"/i"), "Service Register successed.\r\n");
    const std::wstring key =
        L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + service_name + L"\"";
    ASSERT_EQ(run_program(L"reg.exe delete " + key + L" /v Description /f").code, 0u);
    EXPECT_EQ(Run(L"-INSTALL"), failure_line(ERROR_SERVICE_EXISTS));
    EXPECT_NE(run_program(L"reg.exe query " + key + L" /v Description").code, 0u);
}

TEST_F(ServiceHostWineTest, StartedServiceReportsItsStatesTakesUserControlsAndStops) {
    Run(L"/install");
    EXPECT_EQ(Run(L"/start"), "Service Start successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    const std::wstring mutex_name = L"Global\\MUTEX_TARNWICK_SERVICE_" + service_name;
    EXPECT_TRUE(ScopedKernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, mutex_name.c_str())));

    {
        const auto service = open_service(service_name, SERVICE_USER_DEFINED_CONTROL);
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), 128, &status));
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(status.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    }
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    // The stop waited for the run to end: every state has been sent.
    auto events = Events();
    // The first idle call comes at some point of the run; the program's own end may follow.
    for (const char* loose : {"OnIdle", "Ended"}) {
        events.erase(std::remove(events.begin(), events.end(), loose), events.end());
    }
    EXPECT_THAT(events, ElementsAre("OnStart", "Status 2 0", "Status 4 5", "OnUserControl 128",
                                    "Status 4 5", "OnStop", "Status 3 5", "Status 1 0"));
    EXPECT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
}

TEST_F(ServiceHostWineTest, StopOfAServiceThatDoesNotRunFails) {
    Run(L"/install");
    EXPECT_EQ(Run(L"/stop"), failure_line(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(ServiceHostWineTest, RestartOfARunningServiceStopsAndStartsIt) {
    Run(L"/install");
    Run(L"/start");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_EQ(Run(L"/restart"), "Service Restart successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    const auto events = Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "OnStart"), 2);
    EXPECT_THAT(events, Contains("OnStop"));
}

TEST_F(ServiceHostWineTest, RestartOfAStoppedServiceOnlyStartsIt) {
    Run(L"/install");
    EXPECT_EQ(Run(L"-restart"), "Service Restart successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_THAT(Events(), testing::Not(Contains("OnStop")));
}

TEST_F(ServiceHostWineTest, UninstallRemovesAStoppedServiceOnly) {
    Run(L"/install");
    Run(L"/start");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_EQ(Run(L"/uninstall"),
              "[ERROR][ServiceDispatcher]" + narrow(L"服务没有被停止，无法注销服务") + "\r\n");
    EXPECT_TRUE(open_service(service_name, SERVICE_QUERY_STATUS));
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
    EXPECT_EQ(Run(L"-U"), "Service Unregister successed.\r\n");
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
}

TEST_F(ServiceHostWineTest, HelpFormsPrintTheHelpText) {
    for (const wchar_t* form : {L"/?", L"?", L"-?", L"/HELP"}) {
        EXPECT_EQ(Run(form), crlf(HelpText())) << narrow(form);
    }
}

TEST_F(ServiceHostWineTest, ASwitchWithExtraCharactersRunsServiceModeWhichCannotConnect) {
    EXPECT_EQ(Run(L"/installx"), "");
    EXPECT_THAT(Events(), ElementsAre("OnStart", "Ended"));
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
}

} // namespace
