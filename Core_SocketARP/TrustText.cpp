#include "Core_SocketARP/TrustText.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

namespace Core_SocketARP {
namespace {

constexpr std::size_t mac_bytes = 6;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr char hex_digits[] = "0123456789abcdef";

// Two decimal digits at `at`, or -1.
int TwoDigits(std::string_view text, std::size_t at) {
    const char a = text[at];
    const char b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') {
        return -1;
    }
    return (a - '0') * 10 + (b - '0');
}

} // namespace

std::optional<HardwareAddress> ParseMac(std::string_view text) {
    char separator = 0;
    if (text.size() == 17) {
        separator = text[2];
        if (separator != ':' && separator != '-') {
            return std::nullopt;
        }
    } else if (text.size() != 2 * mac_bytes) {
        return std::nullopt;
    }
    const std::size_t step = separator != 0 ? 3 : 2;
    HardwareAddress address;
    for (std::size_t i = 0; i < mac_bytes; ++i) {
        const std::size_t at = i * step;
        if (separator != 0 && i + 1 < mac_bytes && text[at + 2] != separator) {
            return std::nullopt;
        }
        const int high = HexValue(text[at]);
        const int low = HexValue(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        address.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    const bool zero = std::all_of(address.begin(), address.end(), [](auto b) { return b == 0; });
    if (zero || (address[0] & 0x01) != 0) {
        return std::nullopt; // no address, or a group address: no gateway answers with those
    }
    return address;
}

std::string MacText(const HardwareAddress& address) {
    std::string text;
    for (const std::uint8_t byte : address) {
        if (!text.empty()) {
            text += ':';
        }
        text += hex_digits[byte >> 4];
        text += hex_digits[byte & 0x0f];
    }
    return text;
}

std::string EncodeLinkName(std::string_view name) {
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7f || c == '%' || c == '#' || c == ',') {
            text += '%';
            text += hex_digits[byte >> 4];
            text += hex_digits[byte & 0x0f];
        } else {
            text += c;
        }
    }
    return text;
}

std::optional<std::string> DecodeLinkName(std::string_view text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte <= ' ' || byte >= 0x7f || text[i] == '#' || text[i] == ',') {
            return std::nullopt;
        }
        if (text[i] != '%') {
            name += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return name;
}

std::string UtcText(std::int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds time{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss clock{time - day};
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text.data();
}

std::optional<std::int64_t> ParseUtc(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    const int century = TwoDigits(text, 0);
    const int years = TwoDigits(text, 2);
    const int month = TwoDigits(text, 5);
    const int day = TwoDigits(text, 8);
    const int hour = TwoDigits(text, 11);
    const int minute = TwoDigits(text, 14);
    const int second = TwoDigits(text, 17);
    if (century < 0 || years < 0 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{year{century * 100 + years},
                              std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const sys_seconds time = sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
    return time.time_since_epoch().count();
}

std::vector<std::string_view> LineFields(std::string_view line, std::size_t limit) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (const std::size_t comment = line.find('#'); comment != std::string_view::npos) {
        line = line.substr(0, comment);
    }
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size() && fields.size() <= limit) {
        const std::size_t start = line.find_first_not_of(" \t,", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t,", start), line.size());
        fields.push_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

} // namespace Core_SocketARP
