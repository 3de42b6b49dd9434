#include "Core_Service/CommandLine.h"

#include "Core_Common/Utility.h"

#include <iostream>

namespace Core_Service {
namespace {

struct SwitchForm {
    const wchar_t* text;
    CommandSwitch which;
};

// In table order; the first match wins.
constexpr SwitchForm switch_forms[] = {
    {L"/i", CommandSwitch::install},
    {L"-i", CommandSwitch::install},
    {L"/install", CommandSwitch::install},
    {L"-install", CommandSwitch::install},
    {L"/u", CommandSwitch::uninstall},
    {L"-u", CommandSwitch::uninstall},
    {L"/uninstall", CommandSwitch::uninstall},
    {L"-uninstall", CommandSwitch::uninstall},
    {L"/start", CommandSwitch::start},
    {L"-start", CommandSwitch::start},
    {L"/stop", CommandSwitch::stop},
    {L"-stop", CommandSwitch::stop},
    {L"/restart", CommandSwitch::restart},
    {L"-restart", CommandSwitch::restart},
    {L"/debug", CommandSwitch::debug},
    {L"-debug", CommandSwitch::debug},
    {L"/help", CommandSwitch::help},
    {L"-help", CommandSwitch::help},
    {L"/?", CommandSwitch::help},
    {L"-?", CommandSwitch::help},
    {L"?", CommandSwitch::help},
};

} // namespace

CommandSwitch FindSwitch(const std::wstring& argument) {
    // Compared as wide text: a conversion to the ANSI code page would map look-alikes with its
    // best fit ("/\xFF29NSTALL" full width to "/INSTALL", "\xFF1F" and "/\x4E2D" to "?" forms).
    // Only A to Z are lower-cased, as the classic locale does.
    std::wstring text = argument;
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
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
