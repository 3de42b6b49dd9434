// The lines the binding and flush passes print, as the tests expect them.
#pragma once

#include "Core_Common/Utility.h"

#include <cstdint>
#include <string>

namespace tw_test {

// A system error's text as the passes print it, built from the text utilities.
inline std::string SystemText(std::uint32_t code) {
    return Core_Common::wide_to_narrow(Core_Common::system_error_text(code),
                                       Core_Common::code_page_ansi);
}

// `mac` in hexadecimal digits, as printed.
inline std::string BoundLine(int position, const std::string& gateway, const std::string& mac) {
    return "[" + std::to_string(position) + "]ARP set static entry: IP: " + gateway +
           " <=> MAC address " + mac + "\n";
}

// An IPv6 router's line: its address with the link as its zone where it is link-local.
inline std::string NdBoundLine(int position, const std::string& router, const std::string& mac) {
    return "[" + std::to_string(position) + "]ND set static entry: IP: " + router +
           " <=> MAC address " + mac + "\n";
}

inline std::string NdRemovedLine(int position, const std::string& router) {
    return "[" + std::to_string(position) + "]ND removed static entry: IP: " + router + "\n";
}

inline std::string ErrorLine(int position, std::uint32_t code) {
    return "[" + std::to_string(position) + "]ARP Error " + SystemText(code) + "\n";
}

inline std::string FlushErrorLine(int position, std::uint32_t code) {
    return "[" + std::to_string(position) + "]ARP Flush Error " + SystemText(code) + "\n";
}

} // namespace tw_test
