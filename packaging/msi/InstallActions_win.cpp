// The Windows installer's own steps, run by Windows Installer from the package's Binary table.
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"
#include "Core_Service/win/ServiceRecovery_win.h"
#include "Core_SocketARP/app/Program.h"
#include "packaging/msi/MsiProperty_win.h"

#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// The program a service's command runs: the command without its quotes and arguments.
std::wstring program_of(const std::wstring& command) {
    if (!command.empty() && command.front() == L'"') {
        return command.substr(1, command.find(L'"', 1) - 1);
    }
    return command.substr(0, command.find(L' '));
}

std::wstring folder_of(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// The command of the installed service of the program's name; empty when there is none.
std::wstring installed_service_command() {
    const Core_Common::ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Core_Common::ScopedServiceHandle service(
        OpenServiceW(manager.get(), service_name, SERVICE_QUERY_CONFIG));
    if (!service) {
        return {};
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed) ||
        config->lpBinaryPathName == nullptr) {
        return {};
    }
    return config->lpBinaryPathName;
}

} // namespace

// Immediate, once the installation folder is known, before anything is changed: a service of the
// program's name that runs a program from another folder was made by that program's own /install.
// The package's service tables would take it over and the package's removal would delete it,
// leaving that program behind without its service: the installation is refused, saying what to
// do. A service of this package (an upgrade, a repair) runs the program from the installation
// folder and is left to the tables.
extern "C" __declspec(dllexport) UINT __stdcall RefuseOtherProgramsService(MSIHANDLE install) {
    const std::wstring command = installed_service_command();
    if (command.empty()) {
        return ERROR_SUCCESS;
    }
    const std::wstring program = program_of(command);
    if (lower(folder_of(program)) == lower(msi_property(install, L"INSTALLDIR"))) {
        return ERROR_SUCCESS;
    }
    const std::wstring message =
        std::wstring(L"The service \"") + service_name + L"\" is installed already, for " +
        program +
        L" (registered by its own /install). This package would take that service over and "
        L"leave the program without it. Remove it first (\"" +
        program + L"\" /stop, then /uninstall), then install this package again.";
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, message.c_str());
    MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK), record);
    return ERROR_INSTALL_FAILURE;
}

// Deferred, right after InstallServices, with the installed program's full path as its
// CustomActionData: registers the service's command as the program's own /install does, the
// path in double quotes. Windows Installer builds the command from the key file's path, and
// Wine's installer writes that path unquoted; with a blank in "Program Files", an unquoted
// command lets the Service Control Manager run a program planted at "C:\Program.exe" with
// LocalSystem's rights.
extern "C" __declspec(dllexport) UINT __stdcall QuoteServiceCommand(MSIHANDLE install) {
    const std::wstring program = msi_property(install, L"CustomActionData");
    if (program.empty()) {
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring command = L"\"" + program + L"\"";
    const Core_Common::ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Core_Common::ScopedServiceHandle service(
        OpenServiceW(manager.get(), service_name, SERVICE_CHANGE_CONFIG));
    if (!service || !ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                          SERVICE_NO_CHANGE, command.c_str(), nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr)) {
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Deferred, after the quoting: the service is started again after a crash, as /install sets it
// (the installer's own table for this needs Windows Installer 5, and not every installer keeps
// it).
extern "C" __declspec(dllexport) UINT __stdcall SetServiceRecovery(MSIHANDLE /*install*/) {
    const Core_Common::ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Core_Common::ScopedServiceHandle service(
        OpenServiceW(manager.get(), service_name, SERVICE_CHANGE_CONFIG | SERVICE_START));
    std::uint32_t error = 0;
    if (!service || !Core_Service::SetRestartOnFailure(service.get(), error)) {
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}
