// The switch parser: a switch is found only for an argument that is one of the listed switches,
// whatever the case of its letters A to Z. Input: the argument in UTF-16 code units, as a
// Windows command line gives it.
#include "FuzzInput.h"

#include "Core_Service/CommandLine.h"

#include <string>

namespace {

constexpr const wchar_t* switches[] = {
    L"/i",         L"-i",     L"/install", L"-install", L"/u",       L"-u",       L"/uninstall",
    L"-uninstall", L"/start", L"-start",   L"/stop",    L"-stop",    L"/restart", L"-restart",
    L"/debug",     L"-debug", L"/help",    L"-help",    L"/?",       L"-?",       L"?",
    L"--help",     L"-h",     L"/version", L"-version", L"--version"};

bool IsListed(const std::wstring& argument) {
    std::wstring lowered = argument;
    for (wchar_t& c : lowered) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    for (const wchar_t* listed : switches) {
        if (lowered == listed) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw_fuzz::Input input(data, size);
    std::wstring argument;
    while (!input.Empty()) {
        argument.push_back(static_cast<wchar_t>(input.Take<std::uint16_t>()));
    }
    const Core_Service::CommandSwitch found = Core_Service::FindSwitch(argument);
    tw_fuzz::Require((found != Core_Service::CommandSwitch::none) == IsListed(argument));
    return 0;
}
