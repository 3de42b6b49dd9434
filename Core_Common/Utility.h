#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

namespace Core_Common {

// The code page of console and log text: the ANSI code page on Windows, UTF-8 on Linux.
inline constexpr unsigned code_page_ansi = 0;

// Never throw and never report: a failed conversion gives an empty string. On Linux both
// directions are lossless: a byte that is not part of valid UTF-8 becomes the lone surrogate
// U+DC80..U+DCFF and turns back into the same byte, so that a file name or an argument that
// is not valid UTF-8 survives the round trip and matches no text that is.
std::string wide_to_narrow(const std::wstring& text, unsigned codePage);
std::wstring narrow_to_wide(const std::string& text, unsigned codePage);
// The usual case: a narrow text of the system (its ANSI code page) as wide text.
inline std::wstring ansi_to_wide(const std::string& text) {
    return narrow_to_wide(text, code_page_ansi);
}

// Two lowercase hexadecimal digits per byte, high nibble first, no separators.
std::string bytes_to_hex(std::span<const std::uint8_t> bytes);

// "[", the code as a signed decimal, "] ", then the system's text for the code with its own
// line end (Win32 message table on Windows, strerror_r on Linux).
std::wstring system_error_text(std::uint32_t code);

// The text without the line ends at its end, for a system's text set inside a line of its own.
template <class Text> Text without_line_end(Text text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// Full path of the running executable.
std::wstring module_file_path();

// Whether `path` names an existing regular file; an error during the check counts as no.
bool is_regular_file(const std::wstring& path);

// `path` in the platform's native form: '/' as '\\' on Windows, unchanged on Linux.
std::wstring native_path(const std::wstring& path);

// A breakpoint trap: a debugger stops here; without one the process ends.
void debug_break();

// Local calendar time of a time_t, thread-safe.
std::tm local_calendar_time(std::time_t seconds);

} // namespace Core_Common
