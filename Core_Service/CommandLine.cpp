#include "Core_Service/CommandLine.h"

#include "Core_Common/Utility.h"

#include <iostream>

namespace Core_Service {
namespace {

struct SwitchForm {
    const char* text;
    CommandSwitch which;
};

// In table order; the first match wins.
constexpr SwitchForm switch_forms[] = {
    {"/i", CommandSwitch::install},
    {"-i", CommandSwitch::install},
    {"/install", CommandSwitch::install},
    {"-install", CommandSwitch::install},
    {"/u", CommandSwitch::uninstall},
    {"-u", CommandSwitch::uninstall},
    {"/uninstall", CommandSwitch::uninstall},
    {"-uninstall", CommandSwitch::uninstall},
    {"/start", CommandSwitch::start},
    {"-start", CommandSwitch::start},
    {"/stop", CommandSwitch::stop},
    {"-stop", CommandSwitch::stop},
    {"/restart", CommandSwitch::restart},
    {"-restart", CommandSwitch::restart},
    {"/debug", CommandSwitch::debug},
    {"-debug", CommandSwitch::debug},
    {"/help", CommandSwitch::help},
    {"-help", CommandSwitch::help},
    {"/?", CommandSwitch::help},
    {"-?", CommandSwitch::help},
    {"?", CommandSwitch::help},
};

} // namespace

CommandSwitch FindSwitch(const std::wstring& argument) {
    std::string text = Core_Common::wide_to_narrow(argument, Core_Common::code_page_ansi);
    // The classic locale's mapping: only A to Z change, so bytes of multi-byte characters stay.
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    for (const auto& form : switch_forms) {
        if (text == form.text) {
            return form.which;
        }
    }
    return CommandSwitch::none;
}

std::string HelpText() {
    static const wchar_t* const lines[] = {
        L"",
        L"\t/install\tRegister Service.",
        L"\t/uninstall\tUnregister Service\xFF0CYou first must stop the Service.",
        L"\t/start\t\tStartup Service.",
        L"\t/stop\t\tStop Service.",
        L"\t/restart\tRestart Service.",
        L"\t/help\t\tProvides Help information.",
    };
    std::string text;
    for (const wchar_t* line : lines) {
        text += Core_Common::wide_to_narrow(line, Core_Common::code_page_ansi);
        text += '\n';
    }
    return text;
}

void PrintLine(const std::string& text) { std::cout << text << '\n' << std::flush; }

} // namespace Core_Service
