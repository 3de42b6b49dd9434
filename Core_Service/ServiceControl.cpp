// The command line's control operations, run in a short-lived controlling process.
#include "Core_Common/Log.h"
#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceDispatcher.h"

#include <iostream>

namespace Core_Service {
namespace {

// A switch's operation has printed nothing when it fails; on success its line goes to the log
// module first, then to the console.
void announce(const char* line) {
    Core_Common::LogDebug(line);
    PrintLine(line);
}

} // namespace

ServiceDefinition ProgramServiceDefinition(const std::wstring& serviceName,
                                           const std::wstring& displayName,
                                           const std::wstring& programPath,
                                           const std::vector<std::wstring>& dependencies) {
    return {serviceName, displayName, programPath, L"\"" + programPath + L"\"", dependencies};
}

unsigned ServiceDispatcher::ParseCommandLine(const std::wstring& serviceName,
                                             const std::wstring& displayName,
                                             const std::wstring& description,
                                             const wchar_t* argument, const wchar_t* option) {
    // No argument at all is how the service managers start the service.
    if (argument == nullptr) {
        return command_service_mode;
    }
    const std::wstring& name = serviceName;
    // Runs a control operation; on success its line, and the parser's result.
    const auto control = [](bool succeeded, const char* line) {
        if (!succeeded) {
            return command_failed;
        }
        announce(line);
        return command_done;
    };
    switch (FindSwitch(argument)) {
    case CommandSwitch::install: {
        const unsigned result =
            control(ServiceInstall(L"", name, displayName, {}), success_install);
        if (result == command_done && !WriteServiceDescription(name, description)) {
            PrintLine(description_failed);
        }
        return result;
    }
    case CommandSwitch::uninstall:
        return control(ServiceUninstall(name), success_uninstall);
    case CommandSwitch::start:
        return control(ServiceStart(name), success_start);
    case CommandSwitch::stop:
        return control(ServiceStop(name), success_stop);
    case CommandSwitch::restart:
        return control(ServiceRestart(name), success_restart);
    case CommandSwitch::debug:
        return command_debug_mode;
    case CommandSwitch::help:
        std::cout << HelpText() << std::flush;
        return command_done;
    case CommandSwitch::version:
        PrintLine(VersionLine(displayName));
        return command_done;
    case CommandSwitch::status:
        if (const auto format = StatusOption(option)) {
            return *format;
        }
        PrintLine(UnknownStatusOptionLine(option));
        std::cout << HelpText() << std::flush;
        return command_usage;
    case CommandSwitch::none:
        break;
    }
    // A mistyped switch must not become a run of the service, which would flush the ARP tables.
    PrintLine(UnknownSwitchLine(argument));
    std::cout << HelpText() << std::flush;
    return command_usage;
}

bool ServiceDispatcher::ServiceInstall(const std::wstring& programPath,
                                       const std::wstring& serviceName,
                                       const std::wstring& displayName,
                                       const std::vector<std::wstring>& dependencies) {
    // No std::filesystem conversion of the wide text: in the C locale it fails (and throws) for
    // any name outside ASCII on Linux.
    const std::wstring native = Core_Common::native_path(
        programPath.empty() ? Core_Common::module_file_path() : programPath);
    if (!Core_Common::is_regular_file(native)) {
        WriteLog(log_error, 0, native + L" 文件未找到");
        return false;
    }
    if (const std::wstring refusal = manager_.ProgramPlaceRefusal(native); !refusal.empty()) {
        WriteLog(log_error, 0, refusal);
        return false;
    }
    ServiceError error;
    if (!ProgramSafeToRegister(native)) {
        return false;
    }
    const auto manager = manager_.OpenManager(access_manager_create_service, error);
    if (!manager) {
        ReportSystemFailure(error);
        return false;
    }
    {
        const auto service = manager->CreateServiceEntry(
            ProgramServiceDefinition(serviceName, displayName, native, dependencies), error);
        if (!service) {
            ReportSystemFailure(error);
            return false;
        }
        // A crashed run is followed by a new one, which flushes and pins as every start does.
        // Without it the service still runs: the failure is reported and the install stands.
        if (!service->SetRestartOnFailure(error)) {
            ReportSystemFailure(error);
        }
    }
    // The service is registered: without its log source its events still reach the log, only
    // without their texts, so the failure is reported and the install stands.
    if (!manager_.RegisterLogSource(serviceName, native, error)) {
        ReportSystemFailure(error);
    }
    return true;
}

bool ServiceDispatcher::ProgramSafeToRegister(const std::wstring& programPath) const {
    std::vector<Core_Common::ObjectSecurity> chain;
    ServiceError error;
    if (!manager_.ReadProgramSecurity(programPath, chain, error)) {
        ReportSystemFailure(error);
        return false;
    }
    const Core_Common::ChainExposure found =
        Core_Common::first_exposure(chain, false, Core_Common::Trust::system_accounts);
    if (found.exposure == Core_Common::Exposure::none) {
        return true;
    }
    const wchar_t* why = L" lets other accounts change it";
    if (found.exposure == Core_Common::Exposure::owner) {
        why = L" belongs to another account";
    } else if (found.exposure == Core_Common::Exposure::link) {
        why = L" is a link";
    }
    // The service would run with the system's rights whatever someone put in the program's place.
    WriteLog(log_error, 0,
             programPath + L" is not registered: " + chain[found.index].path + why +
                 L", so that others than SYSTEM, Administrators and TrustedInstaller could "
                 L"replace what the service runs. Copy the program into a folder that only "
                 L"administrators can change, such as \"C:\\Program Files\\Tarnwick AntiARP\", "
                 L"and install it from there, or use the installer package (the .msi).");
    return false;
}

bool ServiceDispatcher::WriteServiceDescription(const std::wstring& serviceName,
                                                const std::wstring& description) {
    return manager_.WriteDescription(serviceName, description);
}

std::optional<ServiceDispatcher::OpenedService>
ServiceDispatcher::OpenForControl(const std::wstring& serviceName, std::uint32_t access) const {
    ServiceError error;
    OpenedService opened;
    opened.manager = manager_.OpenManager(access, error);
    if (!opened.manager) {
        ReportSystemFailure(error);
        return std::nullopt;
    }
    opened.service = opened.manager->OpenServiceEntry(serviceName, access, error);
    if (!opened.service) {
        ReportSystemFailure(error);
        return std::nullopt;
    }
    return opened;
}

bool ServiceDispatcher::ServiceUninstall(const std::wstring& serviceName) {
    const auto opened = OpenForControl(serviceName, access_uninstall);
    if (!opened) {
        return false;
    }
    const auto& service = opened->service;
    ServiceError error;
    std::uint32_t state = 0;
    if (!service->QueryState(state, error)) {
        ReportSystemFailure(error);
        return false;
    }
    if (state != service_stopped) {
        WriteLog(log_error, 0, L"服务没有被停止，无法注销服务");
        return false;
    }
    // A failed deletion is not reported.
    if (!service->Delete(error)) {
        return false;
    }
    if (!manager_.RemoveLogSource(serviceName, error)) {
        ReportSystemFailure(error);
    }
    return true;
}

bool ServiceDispatcher::ServiceStart(const std::wstring& serviceName) {
    const auto opened = OpenForControl(serviceName, access_start);
    if (!opened) {
        return false;
    }
    const auto& service = opened->service;
    ServiceError error;
    // A refused start is not reported.
    return service->Start(error);
}

bool ServiceDispatcher::ServiceStop(const std::wstring& serviceName) {
    ServiceError error;
    {
        const auto opened = OpenForControl(serviceName, access_stop);
        if (!opened) {
            return false;
        }
        const auto& service = opened->service;
        if (!service->ControlStop(error)) {
            ReportSystemFailure(error);
            return false;
        }
        // Both handles close here, before the wait.
    }
    switch (manager_.WaitForRunEnd(serviceName, stop_wait_ms, error)) {
    case RunEndWait::ended:
    case RunEndWait::gone:
        // Gone: the stop control was delivered and no running mutex exists any more, so the
        // service's run has already ended and its process has gone with the mutex.
        return true;
    case RunEndWait::no_response:
        // The run still holds the mutex: the stop has not happened, whatever comes of it later.
        WriteLog(log_error, error.code,
                 L"服务已失去响应 " + Core_Common::system_error_text(error.code));
        return false;
    case RunEndWait::cannot_open:
        break;
    }
    ReportSystemFailure(error);
    return false;
}

bool ServiceDispatcher::ServiceRestart(const std::wstring& serviceName) {
    ServiceError error;
    {
        const auto opened = OpenForControl(serviceName, access_query_status);
        if (!opened) {
            return false;
        }
        const auto& service = opened->service;
        std::uint32_t state = 0;
        if (!service->QueryState(state, error)) {
            ReportSystemFailure(error);
            return false;
        }
        if (state != service_stopped) {
            ServiceStop(serviceName);
            if (!service->QueryState(state, error)) {
                ReportSystemFailure(error);
                return false;
            }
            if (state != service_stopped) {
                WriteLog(log_warn, 0, L"未能正确的停止服务程序.");
                return false;
            }
        }
    }
    return ServiceStart(serviceName);
}

} // namespace Core_Service
