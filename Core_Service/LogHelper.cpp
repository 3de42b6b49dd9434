#include "Core_Service/LogHelper.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemLog.h"

namespace Core_Service {
namespace {

const char* level_name(int level) {
    switch (level) {
    case log_normal:
        return "NORMAL";
    case log_warn:
        return "WARN";
    case log_error:
        return "ERROR";
    default:
        return "";
    }
}

} // namespace

std::string LogHelper::FormatLogLine(int level, std::uint32_t code,
                                     const std::wstring& message) const {
    if (code == log_code_silent) {
        return {};
    }
    using Core_Common::code_page_ansi;
    using Core_Common::wide_to_narrow;
    std::string line = "[";
    line += level_name(level);
    line += "][";
    line += wide_to_narrow(module_name_, code_page_ansi);
    line += "]";
    if (code != 0) {
        line += "[ error_code = ";
        line += std::to_string(code);
        line += " ] ";
    }
    line += wide_to_narrow(message, code_page_ansi);
    line += '\n';
    return line;
}

void LogHelper::WriteLog(int level, std::uint32_t code, const std::wstring& message) const {
    const std::string line = FormatLogLine(level, code, message);
    if (line.empty()) {
        return;
    }
    WriteLines(SeverityOfLevel(level), line);
}

} // namespace Core_Service
