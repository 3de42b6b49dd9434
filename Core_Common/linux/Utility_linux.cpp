// On Linux the narrow code page is UTF-8 and a wide string holds UTF-32 code points.
#include "Core_Common/Utility.h"

#include <csignal>
#include <cstring>
#include <limits.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace Core_Common {
namespace {

constexpr char32_t replacement = U'?';

// A byte that is not part of valid UTF-8 travels as a lone surrogate of this block (as Python's
// "surrogateescape" does), so that narrow text of any kind comes back unchanged.
constexpr char32_t escaped_byte_first = 0xDC80;
constexpr char32_t escaped_byte_last = 0xDCFF;

void append_utf8(std::string& out, char32_t cp) {
    if (cp >= escaped_byte_first && cp <= escaped_byte_last) {
        out.push_back(static_cast<char>(cp - 0xDC00));
        return;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = replacement;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at text[i]. A byte that does not start a valid sequence (a stray
// continuation byte, a truncated or overlong sequence, a surrogate, a code point above
// U+10FFFF) is consumed alone and escaped; the bytes after it are decoded afresh.
char32_t next_code_point(const std::string& text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const char32_t escaped = 0xDC00 + lead;
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        ++i;
        return escaped;
    }
    if (i + static_cast<std::size_t>(extra) >= text.size()) {
        ++i;
        return escaped;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return escaped;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return escaped;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

} // namespace

std::string wide_to_narrow(const std::wstring& text, unsigned /*codePage*/) {
    std::string result;
    result.reserve(text.size());
    for (wchar_t unit : text) {
        append_utf8(result, static_cast<char32_t>(unit));
    }
    return result;
}

std::wstring narrow_to_wide(const std::string& text, unsigned /*codePage*/) {
    std::wstring result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        result.push_back(static_cast<wchar_t>(next_code_point(text, i)));
    }
    return result;
}

std::wstring system_error_text(std::uint32_t code) {
    char buffer[256] = {};
    // GNU strerror_r: returns the text, which may or may not be the buffer.
    const char* message = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    // The text has no line end of its own: the lines that carry it end themselves.
    std::string text = "[" + std::to_string(static_cast<std::int32_t>(code)) + "] ";
    if (message != nullptr) {
        text += message;
    }
    return narrow_to_wide(text, code_page_ansi);
}

std::wstring module_file_path() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    return narrow_to_wide(std::string(path, static_cast<std::size_t>(length)), code_page_ansi);
}

bool is_regular_file(const std::wstring& path) {
    // The narrow text is the file system's own name: no locale's conversion is involved.
    struct stat info {};
    return stat(wide_to_narrow(path, code_page_ansi).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::wstring native_path(const std::wstring& path) { return path; }

void debug_break() { raise(SIGTRAP); }

std::tm local_calendar_time(std::time_t seconds) {
    std::tm calendar{};
    localtime_r(&seconds, &calendar);
    return calendar;
}

} // namespace Core_Common
