#include "Core_Service/CommandLine.h"

#include "Core_Common/Utility.h"
#include "Version.h"

#include <cwchar>
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
    {L"--help", CommandSwitch::help},
    {L"-h", CommandSwitch::help},
    {L"/version", CommandSwitch::version},
    {L"-version", CommandSwitch::version},
    {L"--version", CommandSwitch::version},
    {L"/status", CommandSwitch::status},
    {L"-status", CommandSwitch::status},
};

// Only A to Z are lower-cased, as the classic locale does.
std::wstring lower_ascii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

} // namespace

CommandSwitch FindSwitch(const std::wstring& argument) {
    // Compared as wide text: a conversion to the ANSI code page would map look-alikes with its
    // best fit ("/\xFF29NSTALL" full width to "/INSTALL", "\xFF1F" and "/\x4E2D" to "?" forms).
    const std::wstring text = lower_ascii(argument);
    for (const auto& form : switch_forms) {
        if (text == form.text) {
            return form.which;
        }
    }
    return CommandSwitch::none;
}

std::optional<unsigned> StatusOption(const wchar_t* option) {
    if (option == nullptr) {
        return command_status;
    }
    const std::wstring text = lower_ascii(option);
    if (text == L"--json" || text == L"-json" || text == L"/json") {
        return command_status_json;
    }
    return std::nullopt;
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

namespace {

// The argument as a line shows it: control characters and bytes that are not text as "\xNN".
std::string shown_argument(const std::wstring& argument) {
    constexpr bool utf16 = sizeof(wchar_t) == 2;
    std::wstring shown;
    for (std::size_t i = 0; i < argument.size(); ++i) {
        const auto code = static_cast<char32_t>(argument[i]);
        const bool high = code >= 0xD800 && code <= 0xDBFF;
        if (utf16 && high && i + 1 < argument.size() && argument[i + 1] >= 0xDC00 &&
            argument[i + 1] <= 0xDFFF) {
            shown.append(argument, i++, 2);
            continue;
        }
        if (code >= 0x20 && code != 0x7F && (code < 0xD800 || code > 0xDFFF)) {
            shown += argument[i];
            continue;
        }
        // A control character or an unpaired surrogate; on Linux, where a byte that is not UTF-8
        // comes as an escaped surrogate (see narrow_to_wide), that byte.
        const char32_t value = !utf16 && code >= 0xDC80 && code <= 0xDCFF ? code - 0xDC00 : code;
        wchar_t escape[16];
        std::swprintf(escape, sizeof escape / sizeof escape[0],
                      value > 0xFF ? L"\\x%04x" : L"\\x%02x", static_cast<unsigned>(value));
        shown += escape;
    }
    return Core_Common::wide_to_narrow(shown, Core_Common::code_page_ansi);
}

} // namespace

std::string UnknownSwitchLine(const std::wstring& argument) {
    return "Unknown switch \"" + shown_argument(argument) + "\".";
}

std::string UnknownStatusOptionLine(const std::wstring& option) {
    return "Unknown option \"" + shown_argument(option) + "\" of /status: it takes --json only.";
}

std::string VersionLine(const std::wstring& productName) {
    return Core_Common::wide_to_narrow(productName, Core_Common::code_page_ansi) +
           " " TW_VERSION_TEXT " (" TW_PLATFORM ", " TW_BUILD_TYPE ", " TW_COMPILER ")";
}

void PrintLine(const std::string& text) { std::cout << text << '\n' << std::flush; }

} // namespace Core_Service
