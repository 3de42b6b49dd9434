// The Windows installer's own step, run by Windows Installer from the package's Binary table.
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"
#include "Core_SocketARP/app/Program.h"

#include <msi.h>
#include <msiquery.h>

#include <string>

// Deferred, right after InstallServices, with the installed program's full path as its
// CustomActionData: registers the service's command as the program's own /install does, the
// path in double quotes. Windows Installer builds the command from the key file's path, and
// Wine's installer writes that path unquoted; with a blank in "Program Files", an unquoted
// command lets the Service Control Manager run a program planted at "C:\Program.exe" with
// LocalSystem's rights.
extern "C" __declspec(dllexport) UINT __stdcall QuoteServiceCommand(MSIHANDLE install) {
    wchar_t probe[1] = L"";
    DWORD length = 0;
    if (MsiGetPropertyW(install, L"CustomActionData", probe, &length) != ERROR_MORE_DATA) {
        return ERROR_INSTALL_FAILURE;
    }
    std::wstring program(length + 1, L'\0');
    length += 1;
    if (MsiGetPropertyW(install, L"CustomActionData", program.data(), &length) != ERROR_SUCCESS ||
        length == 0) {
        return ERROR_INSTALL_FAILURE;
    }
    program.resize(length);

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
