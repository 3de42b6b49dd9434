#include "Core_SocketARP/app/Program.h"

#include "Core_Common/CrashGuard.h"
#include "Core_Common/InterfaceConnectorCommon.h"
#include "Core_Common/Timer.h"
#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceDispatcher.h"
#include "Core_Service/SystemLog.h"
#include "Core_SocketARP/PinStatus.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/StateStore.h"
#include "Core_SocketARP/StatusReport.h"
#include "Core_SocketARP/app/ServiceHandler.h"

#include <cstdlib>

namespace {

// Under systemd the process gets a state directory of its own (the unit's StateDirectory=),
// the one place besides /run where the hardened unit may write: the crash files go there.
void crash_files_to_state_directory() {
#ifndef _WIN32
    const char* directories = std::getenv("STATE_DIRECTORY");
    if (directories == nullptr || *directories == '\0') {
        return;
    }
    std::string first(directories);
    first = first.substr(0, first.find(':'));
    Core_Common::set_crash_directory(
        Core_Common::narrow_to_wide(first, Core_Common::code_page_ansi));
#endif
}

// The status report on standard output; its exit code says whether every pin holds. Nothing
// is changed: the stores are opened read-only and only read.
int run_status(bool json) {
    using namespace Core_SocketARP;
    const std::unique_ptr<StateStore> remembered = SystemStateStore(service_name, true);
    const std::vector<std::unique_ptr<StateStore>> trusted = SystemTrustedStores(service_name);
    std::vector<StateStore*> trustedStores;
    trustedStores.reserve(trusted.size());
    for (const auto& store : trusted) {
        trustedStores.push_back(store.get());
    }
    int code = Core_Service::exit_status_not_pinned;
    Core_Common::RunGuarded([&] {
        const PinStatus status =
            ReadPinStatus(Core_Service::SystemServiceManager(), service_name, SystemNetworkStack(),
                          remembered.get(), trustedStores);
        Core_Service::WriteStandardOutput(json ? StatusJson(status) : StatusText(status));
        code = StatusExitCode(status);
    });
    return code;
}

template <class Mode> bool run_mode(Mode mode) {
    ServiceHandler handler;
    bool ran = false;
    Core_Common::RunGuarded([&] { ran = (Core_Service::ServiceDispatcher::instance->*mode)(); });
    return ran;
}

} // namespace

int RunCommandLine(const wchar_t* argument, const wchar_t* option) {
    using namespace Core_Service;
    unsigned result = 0;
    Core_Common::RunGuarded([&] {
        result = ParseCommandLine(service_name, service_display_name, service_description, argument,
                                  option);
    });
    switch (result) {
    case command_done:
        return exit_success;
    case command_failed:
        return exit_failed;
    case command_usage:
        return exit_usage;
    case command_service_mode:
        return run_mode(&ServiceDispatcher::RunServiceMode) ? exit_success : exit_failed;
    case command_debug_mode:
        return run_mode(&ServiceDispatcher::RunDebugMode) ? exit_success : exit_failed;
    case command_status:
    case command_status_json:
        return run_status(result == command_status_json);
    default:
        throw 0;
    }
}

int ProgramMain(int argc, wchar_t** argv) {
    using namespace Core_Common::InterfaceConnectorCommon;
    Core_Common::set_program_display_name(program_display_name);
    Core_Common::install_invalid_parameter_handler();
    crash_files_to_state_directory();
    // Opened lazily: a control operation never touches it.
    static const std::unique_ptr<Core_SocketARP::StateStore> gateways =
        Core_SocketARP::SystemStateStore(service_name);
    static const std::vector<std::unique_ptr<Core_SocketARP::StateStore>> trusted =
        Core_SocketARP::SystemTrustedStores(service_name);
    std::vector<Core_SocketARP::StateStore*> trustedStores;
    trustedStores.reserve(trusted.size());
    for (const auto& store : trusted) {
        trustedStores.push_back(store.get());
    }
    Core_SocketARP::InterfaceSocketARP::UseStateStore(gateways.get());
    Core_SocketARP::InterfaceSocketARP::UseTrustedStores(trustedStores);
    InitializeModules();
    StartupModules();
    const int code = RunCommandLine(argc >= 2 ? argv[1] : nullptr, argc >= 3 ? argv[2] : nullptr);
    Core_Common::DispatchPending();
    ShutdownModules();
    ReleaseModules();
    Core_SocketARP::InterfaceSocketARP::UseStateStore(nullptr);
    Core_SocketARP::InterfaceSocketARP::UseTrustedStores({});
    return code;
}
