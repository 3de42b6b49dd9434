// The program itself under Wine, end to end: antiarp.exe installed, started, stopped, restarted
// and removed through Wine's Service Control Manager, with its Event Log source and message
// table; started from a console without a switch; in debug mode, ended by a console control
// event. Under Wine the IP Helper's ARP calls and the route-change registration answer 50 (not
// supported) and change nothing, so the program runs here as it is.
#include "wine/WineServiceSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace wine_test;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

const std::wstring service_name = L"Tarnwick AntiARP";
const std::wstring running_mutex = L"Global\\MUTEX_TARNWICK_SERVICE_Tarnwick AntiARP";
const std::string monitor_failed = "NotifyRouteChange error...50\r\n";

std::string not_supported_text() {
    // The system's text ends its own line, then the program's "\n" follows.
    return crlf(narrow(Core_Common::system_error_text(ERROR_NOT_SUPPORTED)) + "\n");
}

// What one flush pass over that many interfaces prints under Wine.
std::string flush_lines(int interfaces) {
    std::string lines;
    for (int i = 0; i < interfaces; ++i) {
        lines += "[" + std::to_string(i) + "]ARP Flush Error " + not_supported_text();
    }
    return lines;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The protection's whole course: the binding pass flushes every interface and asks the
// gateways, the monitor cannot register and ends, and the stop flushes every interface again,
// last of all.
void expect_protection_started_and_stopped(const std::string& output) {
    const auto monitor_end = output.find(monitor_failed);
    ASSERT_NE(monitor_end, std::string::npos) << output;
    const std::string after = output.substr(monitor_end + monitor_failed.size());
    const int interfaces = count_of(after, "ARP Flush Error");
    ASSERT_GT(interfaces, 0) << output;
    EXPECT_EQ(after, flush_lines(interfaces));
    const std::string binding = output.substr(0, monitor_end);
    EXPECT_THAT(binding, StartsWith(flush_lines(interfaces)));
    // Every adapter's gateway line is an error: SendARP is not supported, or an adapter without
    // an IPv4 address has none to ask from (which adapters Wine lists depends on the machine).
    EXPECT_THAT(binding, HasSubstr("[0]ARP Error "));
    EXPECT_THAT(binding, Not(HasSubstr("ARP set static entry")));
}

const std::string simulated =
    "[NORMAL][ServiceDispatcher]" + narrow(L"服务运行在模拟状态") + "\r\n";
const std::string run_in_progress =
    "[WARN][ServiceDispatcher]" + narrow(L"已有实例在运行，本次运行不改动 ARP 表") + "\r\n";

bool running_mutex_exists() {
    return ScopedKernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, running_mutex.c_str())).valid();
}

class AntiArpWineTest : public testing::Test {
protected:
    void SetUp() override {
        // The service's name is fixed: a service of that name not made here is left alone.
        service_existed = open_service(service_name, SERVICE_QUERY_STATUS).valid();
        ASSERT_FALSE(service_existed) << "\"Tarnwick AntiARP\" is installed already";
        // A blank in the folder: the registered command must quote it.
        folder =
            fs::path(L"C:\\tw antiarp tests") / (L"run " + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(folder);
        program = folder / L"antiarp.exe";
        ASSERT_TRUE(
            CopyFileW(fs::path(ANTIARP_PROGRAM).make_preferred().c_str(), program.c_str(), FALSE));
    }

    void TearDown() override {
        if (!service_existed) {
            remove_service(service_name);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, event_source_key.c_str());
        }
        remove_folder(folder);
    }

    std::wstring Command(const std::wstring& argument) const {
        return L"\"" + program.wstring() + L"\"" + (argument.empty() ? L"" : L" " + argument);
    }

    // Runs the program with one argument (none: empty); its output, after checking its exit
    // code.
    std::string Run(const std::wstring& argument, DWORD code = 0) {
        const ProgramResult result = run_program(Command(argument));
        EXPECT_EQ(result.code, code) << narrow(argument);
        return result.output;
    }

    void InstallAndStart() {
        ASSERT_TRUE(register_service(service_name, program));
        ASSERT_EQ(Run(L"/start"), "Service Start successed.\r\n");
        ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    }

    // The running service's process, checked to be the installed program.
    ScopedKernelHandle ServiceProcess() const {
        const DWORD id = query_status(service_name).dwProcessId;
        ScopedKernelHandle process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        wchar_t image[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        EXPECT_TRUE(process && QueryFullProcessImageNameW(process.get(), 0, image, &length))
            << "process " << id;
        EXPECT_EQ(std::wstring(image, length), program.wstring());
        return process;
    }

    static DWORD ExitCodeOf(const ScopedKernelHandle& process) {
        DWORD code = 0xFFFFFFFF;
        if (WaitForSingleObject(process.get(), give_up_ms) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.get(), &code);
        }
        return code;
    }

    bool service_existed = false;
    fs::path folder;
    fs::path program;
};

// Under Wine every file and folder belongs to the Wine user, not to SYSTEM or the
// Administrators: the program's own install refuses, saying where and what to do, and makes no
// service that would run a program another account could replace.
TEST_F(AntiArpWineTest, InstallOfAProgramAnotherAccountCouldReplaceIsRefused) {
    const std::string output = Run(L"/install", 1);
    const std::string path = narrow(program.wstring());
    EXPECT_THAT(output, StartsWith("[ERROR][ServiceDispatcher]" + path +
                                   " is not registered: " + path + " belongs to another account"));
    EXPECT_THAT(output, HasSubstr("installer package"));
    EXPECT_THAT(output, testing::EndsWith("\r\n"));
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(key_exists(event_source_key));
}

TEST_F(AntiArpWineTest, StartedServiceRunsInItsOwnProcessUntilStopped) {
    InstallAndStart();
    const ScopedKernelHandle process = ServiceProcess();
    ASSERT_TRUE(process);
    EXPECT_TRUE(running_mutex_exists());
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // The stop waits for the run to end, so the process is on its way out with the modules.
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    EXPECT_EQ(ExitCodeOf(process), 0u);
    EXPECT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
    EXPECT_FALSE(running_mutex_exists());
}

TEST_F(AntiArpWineTest, RestartOfARunningServiceRunsItInANewProcess) {
    InstallAndStart();
    const ScopedKernelHandle first = ServiceProcess();
    ASSERT_TRUE(first);
    const DWORD first_id = query_status(service_name).dwProcessId;

    EXPECT_EQ(Run(L"/restart"), "Service Restart successed.\r\n");
    EXPECT_EQ(ExitCodeOf(first), 0u);
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    const ScopedKernelHandle second = ServiceProcess();
    EXPECT_TRUE(second);
    EXPECT_NE(query_status(service_name).dwProcessId, first_id);
}

TEST_F(AntiArpWineTest, UninstallOfARunningServiceIsRefused) {
    InstallAndStart();
    EXPECT_EQ(Run(L"/uninstall", 1),
              "[ERROR][ServiceDispatcher]" + narrow(L"服务没有被停止，无法注销服务") + "\r\n");
    EXPECT_EQ(query_state(service_name), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(AntiArpWineTest, UninstallOfAStoppedServiceRemovesIt) {
    ASSERT_TRUE(register_service(service_name, program));
    ASSERT_TRUE(key_exists(event_source_key));
    EXPECT_EQ(Run(L"/uninstall"), "Service Unregister successed.\r\n");
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(key_exists(event_source_key));
}

// While the service runs, a debug run or service mode started by hand says so and changes no ARP
// table (no flush lines): the running service's static entries stay.
TEST_F(AntiArpWineTest, ARunInProgressIsLeftAlone) {
    InstallAndStart();
    const ScopedKernelHandle process = ServiceProcess();
    ASSERT_TRUE(process);
    EXPECT_EQ(Run(L"", 1), run_in_progress);
    ChildProcess debug(Command(L"/debug"));
    EXPECT_TRUE(debug.WaitForExit());
    const ProgramResult result = debug.Finish();
    EXPECT_EQ(result.code, 1u);
    EXPECT_EQ(result.output, simulated + run_in_progress);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(running_mutex_exists());
}

// The status report reads Wine's Service Control Manager and IP Helper and changes nothing:
// under Wine nothing is ever pinned, so its exit code is 1; an option it does not take is 2.
TEST_F(AntiArpWineTest, StatusTellsTheServiceAndThePinsAndChangesNothing) {
    EXPECT_THAT(Run(L"/status --json", 1),
                StartsWith(R"({"service":{"name":"Tarnwick AntiARP","installed":false,)"
                           R"("state":null,"error":null},"adapters":[)"));
    InstallAndStart();
    const std::string report = Run(L"-Status", 1);
    EXPECT_THAT(report, StartsWith("Service \"Tarnwick AntiARP\": installed, running\r\n"));
    EXPECT_THAT(report, HasSubstr(": not pinned: the ARP table holds no static entry for it\r\n"));
    EXPECT_THAT(Run(L"/status --yaml", 2), StartsWith("Unknown option \"--yaml\" of /status"));
    EXPECT_EQ(query_state(service_name), static_cast<DWORD>(SERVICE_RUNNING));
}

// Not started by the Service Control Manager, service mode cannot connect to it: the process
// has run the protection's start, and its end stops it again; the service did not run (1).
TEST_F(AntiArpWineTest, WithoutASwitchItCannotConnectAndEndsWithExitCodeOne) {
    const ProgramResult result = run_program(Command(L""));
    EXPECT_EQ(result.code, 1u);
    expect_protection_started_and_stopped(result.output);
    EXPECT_FALSE(running_mutex_exists());
}

// Wine's default handler ends a process with code 0 too: the stop's flush after the monitor's
// line is what shows that the program's own handler ended the run.
TEST_F(AntiArpWineTest, DebugModeEndsOnCtrlCWithExitCodeZero) {
    ChildProcess debug(Command(L"/debug"), CREATE_NEW_CONSOLE);
    ASSERT_TRUE(debug.started());
    // The monitor, started last by the protection's start, has failed at once: the console
    // handler is added right after on the program's main thread, long before the helper runs.
    ASSERT_TRUE(debug.ReadUntil(monitor_failed));
    EXPECT_TRUE(running_mutex_exists());

    EXPECT_EQ(send_ctrl_c(CONSOLE_EVENT_SENDER, debug.id()), 0u);
    EXPECT_TRUE(debug.WaitForExit());
    const ProgramResult result = debug.Finish();
    EXPECT_EQ(result.code, 0u);
    ASSERT_THAT(result.output, StartsWith(simulated));
    expect_protection_started_and_stopped(result.output.substr(simulated.size()));
    EXPECT_FALSE(running_mutex_exists());
}

} // namespace
