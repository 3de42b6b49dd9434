#include "Core_Common/Utility.h"
#include "Core_Common/win/WinApi.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace Core_Common {

std::string wide_to_narrow(const std::wstring& text, unsigned codePage) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(needed), '\0');
    const int written = WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed,
                                            nullptr, nullptr);
    if (written == 0) {
        return {};
    }
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::wstring narrow_to_wide(const std::string& text, unsigned codePage) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed == 0) {
        return {};
    }
    std::wstring result(static_cast<std::size_t>(needed), L'\0');
    const int written =
        MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), needed);
    if (written == 0) {
        return {};
    }
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::wstring system_error_text(std::uint32_t code) {
    wchar_t* message = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message),
                   0, nullptr);
    std::wostringstream text;
    text << L"[" << static_cast<std::int32_t>(code) << L"] ";
    if (message != nullptr) {
        text << message;
        LocalFree(message);
    }
    return text.str();
}

std::wstring module_file_path() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path);
}

bool is_regular_file(const std::wstring& path) {
    std::error_code failure;
    return std::filesystem::is_regular_file(std::filesystem::path(path), failure) && !failure;
}

std::wstring native_path(const std::wstring& path) {
    std::wstring native = path;
    std::replace(native.begin(), native.end(), L'/', L'\\');
    return native;
}

void debug_break() { DebugBreak(); }

std::tm local_calendar_time(std::time_t seconds) {
    std::tm calendar{};
    localtime_s(&calendar, &seconds);
    return calendar;
}

} // namespace Core_Common
