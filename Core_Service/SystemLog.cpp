#include "Core_Service/SystemLog.h"

#include "Core_Service/LogHelper.h"

#include <cstdio>

namespace Core_Service {

Severity SeverityOfLevel(int level) {
    switch (level) {
    case log_error:
        return Severity::error;
    case log_warn:
        return Severity::warning;
    default:
        return Severity::information;
    }
}

void WriteLines(Severity /*severity*/, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace Core_Service
