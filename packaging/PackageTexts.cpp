// Tells the package recipes what the program itself knows, so that no package restates it:
//   package_texts version             the project version
//   package_texts unit PROGRAM        the systemd unit that "PROGRAM /install" writes
//   package_texts wixl-defines        the service's texts, one NAME=VALUE line each
#include "Core_Common/Utility.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/SystemdUnit.h"
#include "Core_SocketARP/app/Program.h"
#include "Version.h"

#include <cstring>
#include <iostream>
#include <string>

namespace {

std::string narrow(const std::wstring& text) {
    return Core_Common::wide_to_narrow(text, Core_Common::code_page_ansi);
}

// As the install switch composes it: the unit made for the program, then its description set.
std::string installed_unit(const std::string& program) {
    return Core_Service::WriteUnitDescription(
        Core_Service::MakeUnitFile(Core_Service::ProgramServiceDefinition(
            service_name, service_display_name,
            Core_Common::narrow_to_wide(program, Core_Common::code_page_ansi))),
        service_description);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "version") == 0) {
        std::cout << TW_VERSION_TEXT << '\n';
    } else if (argc == 3 && std::strcmp(argv[1], "unit") == 0) {
        std::cout << installed_unit(argv[2]);
    } else if (argc == 2 && std::strcmp(argv[1], "wixl-defines") == 0) {
        std::cout << "ServiceName=" << narrow(service_name) << '\n'
                  << "ServiceDisplayName=" << narrow(service_display_name) << '\n'
                  << "ServiceDescription=" << narrow(service_description) << '\n';
    } else {
        std::cerr << "usage: package_texts version | unit PROGRAM | wixl-defines\n";
        return 2;
    }
    return 0;
}
