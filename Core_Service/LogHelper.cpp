#include "Core_Service/LogHelper.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"

namespace Core_Service {
namespace {

const wchar_t* level_name(int level) {
    switch (level) {
    case log_normal:
        return L"NORMAL";
    case log_warn:
        return L"WARN";
    case log_error:
        return L"ERROR";
    default:
        return L"";
    }
}

} // namespace

std::wstring LogHelper::FormatLogText(int level, std::uint32_t code,
                                      const std::wstring& message) const {
    if (code == log_code_silent) {
        return {};
    }
    std::wstring line = L"[";
    line += level_name(level);
    line += L"][";
    line += module_name_;
    line += L"]";
    if (code != 0) {
        line += L"[ error_code = ";
        line += std::to_wstring(code);
        line += L" ] ";
    }
    line += message;
    line += L'\n';
    return line;
}

std::string LogHelper::FormatLogLine(int level, std::uint32_t code,
                                     const std::wstring& message) const {
    return Core_Common::wide_to_narrow(FormatLogText(level, code, message),
                                       Core_Common::code_page_ansi);
}

void LogHelper::WriteLog(int level, std::uint32_t code, const std::wstring& message) const {
    WriteLog(level, code, message, {});
}

void LogHelper::WriteLog(int level, std::uint32_t code, const std::wstring& message,
                         const EventFields& fields) const {
    const std::wstring line = FormatLogText(level, code, message);
    if (line.empty()) {
        return;
    }
    WriteLines(SeverityOfLevel(level), std::wstring_view(line), fields);
}

} // namespace Core_Service
