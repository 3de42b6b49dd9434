#include "Core_Common/Log.h"
#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceDispatcher.h"
#include "fakes/RecordingLogSink.h"
#include "fakes/ServiceFakes.h"
#include "fakes/ServiceLines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace Core_Service;
using Core_Common::code_page_ansi;
using Core_Common::wide_to_narrow;
using testing::ElementsAre;
using testing::ElementsAreArray;
using tw_test::CallJournal;
using tw_test::FailureLine;
using tw_test::FakeServiceManager;
using tw_test::FakeServiceProcess;
using tw_test::narrow;

const std::wstring service_name = L"Tarnwick AntiARP";
const std::wstring description =
    L"Protect you against ARP attack in the local network, attackers can no longer sniff your "
    L"traffic.";

// The control operations of a controlling process, against a fake service manager; the log
// module records what the operations hand to it.
class ServiceControlTest : public testing::Test {
protected:
    void SetUp() override {
        Core_Common::InterfaceLog::Create();
        Core_Common::InterfaceLog::instance->sinks = {&sink};
    }
    void TearDown() override {
        // Every operation closes what it opened.
        EXPECT_EQ(manager.openHandles, 0);
        Core_Common::InterfaceLog::Destroy();
    }

    // Runs the parser with `argument`; returns its console output.
    std::string Parse(const wchar_t* argument, unsigned expected = command_done) {
        testing::internal::CaptureStdout();
        const unsigned result =
            dispatcher.ParseCommandLine(service_name, service_name, description, argument);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, expected);
        return output;
    }

    void AddService(std::uint32_t state) { manager.services[service_name].state = state; }
    std::uint32_t State() { return manager.services.at(service_name).state; }

    std::vector<std::string> Logged() {
        std::vector<std::string> messages;
        for (const auto& record : sink.Records()) {
            messages.push_back(record.message);
        }
        return messages;
    }

    CallJournal journal;
    FakeServiceManager manager{journal};
    FakeServiceProcess process{journal};
    ServiceDispatcher dispatcher{manager, process};
    tw_test::RecordingLogSink sink;
};

struct SwitchCase {
    const wchar_t* argument;
    CommandSwitch expected;
};

class SwitchTableTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTableTest, MatchesWholeFormsWithoutRegardToCase) {
    EXPECT_EQ(FindSwitch(GetParam().argument), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SwitchTableTest,
    testing::Values(
        SwitchCase{L"/i", CommandSwitch::install}, SwitchCase{L"-i", CommandSwitch::install},
        SwitchCase{L"/install", CommandSwitch::install},
        SwitchCase{L"-INSTALL", CommandSwitch::install},
        SwitchCase{L"/Install", CommandSwitch::install},
        SwitchCase{L"/u", CommandSwitch::uninstall}, SwitchCase{L"-U", CommandSwitch::uninstall},
        SwitchCase{L"/uninstall", CommandSwitch::uninstall},
        SwitchCase{L"-uninstall", CommandSwitch::uninstall},
        SwitchCase{L"/start", CommandSwitch::start}, SwitchCase{L"-Start", CommandSwitch::start},
        SwitchCase{L"/stop", CommandSwitch::stop}, SwitchCase{L"-stop", CommandSwitch::stop},
        SwitchCase{L"/restart", CommandSwitch::restart},
        SwitchCase{L"-RESTART", CommandSwitch::restart},
        SwitchCase{L"/debug", CommandSwitch::debug}, SwitchCase{L"-debug", CommandSwitch::debug},
        SwitchCase{L"/help", CommandSwitch::help}, SwitchCase{L"-HELP", CommandSwitch::help},
        SwitchCase{L"/?", CommandSwitch::help}, SwitchCase{L"-?", CommandSwitch::help},
        SwitchCase{L"?", CommandSwitch::help}, SwitchCase{L"--help", CommandSwitch::help},
        SwitchCase{L"-H", CommandSwitch::help}, SwitchCase{L"--version", CommandSwitch::version},
        SwitchCase{L"/Version", CommandSwitch::version},
        SwitchCase{L"-version", CommandSwitch::version},
        SwitchCase{L"/status", CommandSwitch::status},
        SwitchCase{L"-STATUS", CommandSwitch::status}, SwitchCase{L"", CommandSwitch::none},
        SwitchCase{L"--status", CommandSwitch::none}, SwitchCase{L"/stat", CommandSwitch::none},
        SwitchCase{L"--install", CommandSwitch::none}, SwitchCase{L"--h", CommandSwitch::none},
        SwitchCase{L"/v", CommandSwitch::none}, SwitchCase{L"/installx", CommandSwitch::none},
        SwitchCase{L"install", CommandSwitch::none}, SwitchCase{L"/install ", CommandSwitch::none},
        SwitchCase{L" /i", CommandSwitch::none}, SwitchCase{L"//i", CommandSwitch::none},
        SwitchCase{L"/h", CommandSwitch::none},
        // Look-alikes that a conversion to the ANSI code page would turn into switches.
        SwitchCase{L"/\xFF29\xFF2E\xFF33\xFF34\xFF21\xFF2C\xFF2C", CommandSwitch::none},
        SwitchCase{L"/\x0130NSTALL", CommandSwitch::none},
        SwitchCase{L"\xFF1F", CommandSwitch::none}, SwitchCase{L"/\x4E2D", CommandSwitch::none},
        SwitchCase{L"-\xFF1F", CommandSwitch::none}));

#ifndef _WIN32
// On Linux the arguments are widened from their bytes: bytes that are not UTF-8 must not turn
// into '?' and with it into the help switch.
TEST(SwitchTableLinux, ArgumentsThatAreNotUtf8MatchNoSwitch) {
    for (const char* bytes : {"\xFF", "/\xFF", "-\xBF", "/\xC0\xBF"}) {
        EXPECT_EQ(FindSwitch(Core_Common::narrow_to_wide(bytes, code_page_ansi)),
                  CommandSwitch::none)
            << bytes;
    }
}
#endif

TEST(HelpText, IsAnEmptyLineAndSixSwitchLines) {
    const std::string expected = "\n"
                                 "\t/install\tRegister Service.\n"
                                 "\t/uninstall\tUnregister Service" +
                                 wide_to_narrow(L"\xFF0C", code_page_ansi) +
                                 "You first must stop the Service.\n"
                                 "\t/start\t\tStartup Service.\n"
                                 "\t/stop\t\tStop Service.\n"
                                 "\t/restart\tRestart Service.\n"
                                 "\t/help\t\tProvides Help information.\n";
    EXPECT_EQ(HelpText(), expected);
#ifndef _WIN32
    // The console's narrow text is UTF-8 here.
    EXPECT_NE(HelpText().find("Service\xEF\xBC\x8CYou"), std::string::npos);
#endif
}

TEST_F(ServiceControlTest, HelpFormsPrintTheHelpTextOnly) {
    for (const wchar_t* form : {L"/help", L"-help", L"/?", L"-?", L"?", L"/HELP", L"--help"}) {
        EXPECT_EQ(Parse(form), HelpText()) << narrow(form);
    }
    EXPECT_TRUE(journal.Entries().empty());
}

// Only no argument at all is service mode, as the service managers start it; a mistyped switch
// is named, with the help text, and runs nothing.
TEST_F(ServiceControlTest, NoArgumentSelectsServiceModeAndAnythingElseIsAUsageError) {
    EXPECT_EQ(Parse(nullptr, command_service_mode), "");
    for (const wchar_t* form : {L"", L"/installx", L"stop", L"/debug2", L"/"}) {
        EXPECT_EQ(Parse(form, command_usage),
                  "Unknown switch \"" + narrow(form) + "\".\n" + HelpText());
    }
    EXPECT_TRUE(journal.Entries().empty());
}

TEST(UnknownSwitchLine, ShowsWhatIsNoTextAsEscapes) {
    EXPECT_EQ(UnknownSwitchLine(L"a\tb\x7F"), "Unknown switch \"a\\x09b\\x7f\".");
    EXPECT_EQ(UnknownSwitchLine(std::wstring(1, static_cast<wchar_t>(0xD800))),
              "Unknown switch \"\\xd800\".");
}

TEST_F(ServiceControlTest, DebugFormsSelectDebugMode) {
    EXPECT_EQ(Parse(L"/debug", command_debug_mode), "");
    EXPECT_EQ(Parse(L"-DEBUG", command_debug_mode), "");
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(ServiceControlTest, InstallRegistersTheQuotedOwnPathAndWritesTheDescription) {
    EXPECT_EQ(Parse(L"-INSTALL"), "Service Register successed.\n");
    ASSERT_EQ(manager.services.count(service_name), 1u);
    const auto& definition = manager.services.at(service_name).definition;
    std::filesystem::path own(Core_Common::module_file_path());
    own.make_preferred();
    EXPECT_EQ(definition.programPath, own.wstring());
    EXPECT_EQ(definition.commandLine, L"\"" + own.wstring() + L"\"");
    EXPECT_EQ(definition.displayName, service_name);
    EXPECT_TRUE(definition.dependencies.empty());
    EXPECT_EQ(manager.descriptions.at(service_name), description);
    // Its log source's messages are in the same program file.
    EXPECT_EQ(manager.logSources.at(service_name), own.wstring());
    // A crash is followed by a new run.
    EXPECT_TRUE(manager.services.at(service_name).restartsOnFailure);
    EXPECT_THAT(journal.Entries(), ElementsAre("OpenManager 0x2", "CreateService Tarnwick AntiARP",
                                               "SetRestartOnFailure", "CloseService",
                                               "RegisterLogSource Tarnwick AntiARP", "CloseManager",
                                               "WriteDescription Tarnwick AntiARP"));
    EXPECT_THAT(Logged(), ElementsAre("Service Register successed."));
}

// Without its log source or its restart after a crash, the service still runs.
TEST_F(ServiceControlTest, InstallWithoutItsLogSourceOrRestartReportsItAndStands) {
    for (std::uint32_t FakeServiceManager::*step :
         {&FakeServiceManager::logSourceError, &FakeServiceManager::restartError}) {
        manager.services.clear();
        manager.logSourceError = 0;
        manager.restartError = 0;
        manager.*step = 5;
        EXPECT_EQ(Parse(L"/install"), FailureLine(5) + "Service Register successed.\n");
        EXPECT_EQ(manager.services.count(service_name), 1u);
        EXPECT_EQ(manager.descriptions.at(service_name), description);
    }
}

// The service runs the program with the system's rights: a program that anyone but SYSTEM, the
// Administrators and TrustedInstaller could replace, directly or through a folder above it, is
// not registered, and the line says where and what to do.
TEST_F(ServiceControlTest, InstallOfAProgramOthersCouldReplaceIsRefused) {
    using Core_Common::Account;
    using Core_Common::ObjectSecurity;
    const auto object = [](const wchar_t* path, Account owner) {
        ObjectSecurity security;
        security.path = path;
        security.owner = owner;
        security.entries = {{Account::system, 0x001F01FF, true, false},
                            {Account::other, 0x001200A9, true, false}};
        return security;
    };
    const std::vector<ObjectSecurity> protected_chain = {
        object(L"C:\\Tools\\antiarp.exe", Account::administrators),
        object(L"C:\\Tools", Account::administrators), object(L"C:\\", Account::system)};
    struct Refusal {
        std::vector<ObjectSecurity> chain;
        std::wstring says;
    };
    std::vector<Refusal> refusals(3, {protected_chain, {}});
    refusals[0].chain[0].owner = Account::process_user;
    refusals[0].says = L"C:\\Tools\\antiarp.exe belongs to another account";
    refusals[1].chain[1].entries.push_back({Account::other, 0x2, true, false});
    refusals[1].says = L"C:\\Tools lets other accounts change it";
    refusals[2].chain[2].isLink = true;
    refusals[2].says = L"C:\\ is a link";
    for (const Refusal& refusal : refusals) {
        manager.programSecurity = refusal.chain;
        const std::string output = Parse(L"/install", command_failed);
        EXPECT_NE(output.find(narrow(L" is not registered: " + refusal.says)), std::string::npos)
            << output;
        EXPECT_NE(output.find("installer package"), std::string::npos) << output;
        EXPECT_EQ(output.find("Service Register successed."), std::string::npos);
    }
    manager.programSecurityError = 5;
    EXPECT_EQ(Parse(L"/install", command_failed), FailureLine(5));
    EXPECT_TRUE(journal.Entries().empty());

    manager.programSecurityError = 0;
    manager.programSecurity = protected_chain;
    EXPECT_EQ(Parse(L"/install"), "Service Register successed.\n");
}

TEST_F(ServiceControlTest, InstallOfAnInstalledServiceFailsAndWritesNoDescription) {
    AddService(service_stopped);
    EXPECT_EQ(Parse(L"/i", command_failed), FailureLine(tw_test::fake_error_service_exists));
    EXPECT_TRUE(manager.descriptions.empty());
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenManager 0x2", "CreateService Tarnwick AntiARP", "CloseManager"));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ServiceControlTest, InstallWithoutDescriptionSaysSoAfterTheSuccessLine) {
    manager.descriptionFails = true;
    EXPECT_EQ(Parse(L"/install"),
              "Service Register successed.\nCannot set service's description.\n");
}

TEST_F(ServiceControlTest, InstallWithoutTheManagerIsASystemFailure) {
    manager.openManagerError = 5;
    EXPECT_EQ(Parse(L"/i", command_failed), FailureLine(5));
    EXPECT_TRUE(manager.services.empty());
}

TEST_F(ServiceControlTest, InstallOfAMissingFileReportsItsNativePathAndCreatesNothing) {
    const std::filesystem::path missing =
        std::filesystem::temp_directory_path() / "tw-no-such-dir" / "antiarp.exe";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher.ServiceInstall(missing.wstring(), service_name, service_name, {}));
    std::filesystem::path native = missing;
    native.make_preferred();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ERROR][ServiceDispatcher]" + narrow(native.wstring() + L" 文件未找到") + "\n");
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(ServiceControlTest, InstallOfAProgramOthersCouldReplaceIsRefusedWithTheReason) {
    manager.programPlaceRefusal = L"The service is not registered: /var/tmp/drop is writable";
    EXPECT_EQ(Parse(L"/install", command_failed),
              "[ERROR][ServiceDispatcher]The service is not registered: /var/tmp/drop is "
              "writable\n");
    std::filesystem::path own(Core_Common::module_file_path());
    own.make_preferred();
    EXPECT_EQ(manager.placeChecked, own.wstring());
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(ServiceControlTest, VersionFormsPrintOneLineWithTheBuildsFacts) {
    for (const wchar_t* form : {L"--version", L"/version", L"-VERSION"}) {
        const std::string line = Parse(form);
        EXPECT_EQ(line, VersionLine(service_name) + "\n");
        // "Tarnwick AntiARP 1.0 (Linux x86_64, RelWithDebInfo, GNU 12.2.0)"
        EXPECT_THAT(line, testing::StartsWith("Tarnwick AntiARP "));
#ifdef _WIN32
        EXPECT_THAT(line, testing::HasSubstr(" (Windows i686, "));
#else
        EXPECT_THAT(line, testing::HasSubstr(" (Linux "));
#endif
        EXPECT_THAT(line, testing::EndsWith(")\n"));
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 2) << line;
    }
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(ServiceControlTest, InstallOfADirectoryIsNoRegularFile) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher.ServiceInstall(std::filesystem::temp_directory_path().wstring(),
                                           service_name, service_name, {}));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(narrow(L" 文件未找到")),
              std::string::npos);
    EXPECT_TRUE(journal.Entries().empty());
}

// A path with a blank, unquoted, would let the service manager run a program planted at the
// shorter path before the blank.
TEST_F(ServiceControlTest, InstallQuotesAPathWithABlank) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "tw program files";
    std::filesystem::create_directories(folder);
    const std::filesystem::path program = folder / "anti arp.exe";
    std::ofstream(program) << "x";
    const bool installed =
        dispatcher.ServiceInstall(program.wstring(), service_name, L"Display", {L"Tcpip", L"Dhcp"});
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(installed);
    std::filesystem::path native = program;
    native.make_preferred();
    const auto& definition = manager.services.at(service_name).definition;
    EXPECT_EQ(definition.commandLine, L"\"" + native.wstring() + L"\"");
    EXPECT_EQ(definition.displayName, L"Display");
    EXPECT_EQ(definition.dependencies, (std::vector<std::wstring>{L"Tcpip", L"Dhcp"}));
}

TEST_F(ServiceControlTest, UninstallOfAStoppedServiceDeletesIt) {
    AddService(service_stopped);
    EXPECT_EQ(Parse(L"/u"), "Service Unregister successed.\n");
    EXPECT_TRUE(manager.services.empty());
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenManager 0x10004", "OpenService Tarnwick AntiARP 0x10004",
                            "QueryState", "Delete", "RemoveLogSource Tarnwick AntiARP",
                            "CloseService", "CloseManager"));
    EXPECT_THAT(Logged(), ElementsAre("Service Unregister successed."));
}

TEST_F(ServiceControlTest, UninstallReportsALogSourceThatStaysAndStillSucceeds) {
    AddService(service_stopped);
    manager.logSourceError = 5;
    EXPECT_EQ(Parse(L"/u"), FailureLine(5) + "Service Unregister successed.\n");
    EXPECT_TRUE(manager.services.empty());
}

TEST_F(ServiceControlTest, UninstallOfARunningServiceIsRefused) {
    AddService(service_running);
    EXPECT_EQ(Parse(L"-uninstall", command_failed),
              "[ERROR][ServiceDispatcher]" + narrow(L"服务没有被停止，无法注销服务") + "\n");
    EXPECT_EQ(manager.services.count(service_name), 1u);
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ServiceControlTest, FailedDeletionIsNotReported) {
    AddService(service_stopped);
    manager.deleteError = 1072;
    EXPECT_EQ(Parse(L"/uninstall", command_failed), "");
    // The service stays, and so does its log source.
    EXPECT_THAT(journal.Entries(),
                testing::Not(testing::Contains("RemoveLogSource Tarnwick AntiARP")));
}

// What the service manager said about a failure (a systemctl message) follows the system text.
TEST_F(ServiceControlTest, FailuresCarryTheServiceManagersWords) {
    AddService(service_running);
    manager.openServiceError = 13;
    manager.failureDetail = L"systemctl exit status 4: Failed to stop x.service: Access denied";
    EXPECT_EQ(Parse(L"/stop", command_failed),
              FailureLine(13, "systemctl exit status 4: Failed to stop x.service: Access denied"));
}

TEST_F(ServiceControlTest, UninstallReportsEachFailedStep) {
    EXPECT_EQ(Parse(L"/u", command_failed), FailureLine(tw_test::fake_error_no_such_service));
    AddService(service_stopped);
    manager.queryError = 6;
    EXPECT_EQ(Parse(L"/u", command_failed), FailureLine(6));
    manager.openServiceError = 5;
    EXPECT_EQ(Parse(L"/u", command_failed), FailureLine(5));
    manager.openManagerError = 1722;
    EXPECT_EQ(Parse(L"/u", command_failed), FailureLine(1722));
    EXPECT_EQ(manager.services.count(service_name), 1u);
}

TEST_F(ServiceControlTest, StartAsksForTheStartOnly) {
    AddService(service_stopped);
    EXPECT_EQ(Parse(L"/start"), "Service Start successed.\n");
    EXPECT_EQ(State(), service_running);
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenManager 0x10", "OpenService Tarnwick AntiARP 0x10", "Start",
                            "CloseService", "CloseManager"));
}

TEST_F(ServiceControlTest, RefusedStartIsNotReported) {
    AddService(service_running);
    EXPECT_EQ(Parse(L"-start", command_failed), "");
    manager.services.clear();
    EXPECT_EQ(Parse(L"-start", command_failed), FailureLine(tw_test::fake_error_no_such_service));
}

TEST_F(ServiceControlTest, StopClosesTheHandlesThenWaitsForTheRunToEnd) {
    AddService(service_running);
    EXPECT_EQ(Parse(L"/stop"), "Service Stop successed.\n");
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenManager 0x20", "OpenService Tarnwick AntiARP 0x20", "ControlStop",
                            "CloseService", "CloseManager",
                            "WaitForRunEnd Tarnwick AntiARP 20000"));
    EXPECT_THAT(Logged(), ElementsAre("Service Stop successed."));
}

TEST_F(ServiceControlTest, StopOfAServiceThatDoesNotRunWaitsForNothing) {
    AddService(service_stopped);
    EXPECT_EQ(Parse(L"/stop", command_failed), FailureLine(tw_test::fake_error_not_active));
    EXPECT_THAT(journal.Entries(),
                testing::Not(testing::Contains(testing::StartsWith("WaitForRunEnd"))));
}

// The run still holds the running mutex after the wait: the stop has not happened.
TEST_F(ServiceControlTest, StopThatTimesOutIsReportedAndPrintsNoSuccessLine) {
    AddService(service_running);
    manager.runEnd = RunEndWait::no_response;
    manager.runEndError = 1053;
    EXPECT_EQ(Parse(L"/stop", command_failed),
              "[ERROR][ServiceDispatcher][ error_code = 1053 ] " +
                  narrow(L"服务已失去响应 " + Core_Common::system_error_text(1053)) + "\n");
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ServiceControlTest, StopWhoseRunHasAlreadyEndedSucceeds) {
    AddService(service_running);
    manager.runEnd = RunEndWait::gone;
    manager.runEndError = 2;
    EXPECT_EQ(Parse(L"/stop"), "Service Stop successed.\n");
}

TEST_F(ServiceControlTest, StopThatCannotOpenTheRunningMutexFails) {
    AddService(service_running);
    manager.runEnd = RunEndWait::cannot_open;
    manager.runEndError = 5;
    EXPECT_EQ(Parse(L"/stop", command_failed), FailureLine(5));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ServiceControlTest, RestartOfARunningServiceStopsThenStartsIt) {
    AddService(service_running);
    EXPECT_EQ(Parse(L"/restart"), "Service Restart successed.\n");
    EXPECT_EQ(State(), service_running);
    EXPECT_THAT(
        journal.Entries(),
        ElementsAreArray({"OpenManager 0x4", "OpenService Tarnwick AntiARP 0x4", "QueryState",
                          "OpenManager 0x20", "OpenService Tarnwick AntiARP 0x20", "ControlStop",
                          "CloseService", "CloseManager", "WaitForRunEnd Tarnwick AntiARP 20000",
                          "QueryState", "CloseService", "CloseManager", "OpenManager 0x10",
                          "OpenService Tarnwick AntiARP 0x10", "Start", "CloseService",
                          "CloseManager"}));
    EXPECT_THAT(Logged(), ElementsAre("Service Restart successed."));
}

TEST_F(ServiceControlTest, RestartOfAStoppedServiceOnlyStartsIt) {
    AddService(service_stopped);
    EXPECT_EQ(Parse(L"-restart"), "Service Restart successed.\n");
    EXPECT_THAT(journal.Entries(), testing::Not(testing::Contains("ControlStop")));
    EXPECT_EQ(State(), service_running);
}

TEST_F(ServiceControlTest, RestartOfAServiceThatWillNotStopGivesUp) {
    AddService(service_running);
    manager.services.at(service_name).stopTakesEffect = false;
    // The inner stop prints no line of its own.
    EXPECT_EQ(Parse(L"/restart", command_failed),
              "[WARN][ServiceDispatcher]" + narrow(L"未能正确的停止服务程序.") + "\n");
    EXPECT_THAT(journal.Entries(), testing::Not(testing::Contains("Start")));
}

TEST_F(ServiceControlTest, RestartReportsAFailedSecondQuery) {
    AddService(service_running);
    manager.queryError = 6;
    manager.failingQuery = 2;
    EXPECT_EQ(Parse(L"/restart", command_failed), FailureLine(6));
    EXPECT_THAT(journal.Entries(), testing::Not(testing::Contains("Start")));
}

TEST(ParseCommandLineEntry, NeedsTheDispatcher) {
    ASSERT_EQ(ServiceDispatcher::instance, nullptr);
    try {
        ParseCommandLine(service_name, service_name, description, L"/?");
        FAIL() << "no exception";
    } catch (int value) {
        EXPECT_EQ(value, 0);
    }
}

} // namespace
