// The lines the service dispatcher prints, as the tests expect them.
#pragma once

#include "Core_Common/Utility.h"

#include <cstdint>
#include <string>

namespace tw_test {

// A wide text as the program prints it: in the ANSI code page.
inline std::string narrow(const std::wstring& text) {
    return Core_Common::wide_to_narrow(text, Core_Common::code_page_ansi);
}

// A failed operation: its system error code and the code's text.
inline std::string FailureLine(std::uint32_t code) {
    return "[ERROR][ServiceDispatcher][ error_code = " + std::to_string(code) + " ] " +
           narrow(Core_Common::system_error_text(code)) + "\n";
}

// A failure with what the service manager said: after the system text (without the line end
// the text may have of its own), on the same line.
inline std::string FailureLine(std::uint32_t code, const std::string& detail) {
    std::string line = FailureLine(code);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line + ": " + detail + "\n";
}

} // namespace tw_test
