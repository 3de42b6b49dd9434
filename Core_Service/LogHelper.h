#pragma once

#include "Core_Service/SystemLog.h"

#include <cstdint>
#include <string>

namespace Core_Service {

inline constexpr int log_normal = 0;
inline constexpr int log_warn = 1;
inline constexpr int log_error = 2;

// A code that keeps a record off the console.
inline constexpr std::uint32_t log_code_silent = 0xFFFFFFFFu;

// Gives a service-host component a module name and report lines on standard output.
class LogHelper {
public:
    explicit LogHelper(std::wstring moduleName) : module_name_(std::move(moduleName)) {}
    virtual ~LogHelper() = default;
    LogHelper(const LogHelper&) = delete;
    LogHelper& operator=(const LogHelper&) = delete;

    void WriteLog(int level, std::uint32_t code, const std::wstring& message) const;
    // The same with the fields of the line's event (its kind, link, gateway, MAC).
    void WriteLog(int level, std::uint32_t code, const std::wstring& message,
                  const EventFields& fields) const;

    // The line WriteLog prints, newline included; empty for the silent code. The wide form is
    // what a console shows, the narrow one (the ANSI code page) what a pipe or file receives.
    std::wstring FormatLogText(int level, std::uint32_t code, const std::wstring& message) const;
    std::string FormatLogLine(int level, std::uint32_t code, const std::wstring& message) const;

    const std::wstring& ModuleName() const { return module_name_; }

private:
    std::wstring module_name_;
};

} // namespace Core_Service
