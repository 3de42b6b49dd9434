#include "Core_SocketARP/GatewayMemory.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"

#include <sstream>

namespace Core_SocketARP {
namespace {

constexpr const char* header = "tarnwick-antiarp gateways 1";

// The error text inside a report's own line: without the system's line end.
std::string InLine(SystemErrorCode code) { return Core_Common::without_line_end(ErrorText(code)); }

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::optional<HardwareAddress> ParseHex(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * HardwareAddressBuffer{}.size()) {
        return std::nullopt;
    }
    HardwareAddress bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        if (!IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A link name as the platforms make them: printable, no blanks.
bool IsLinkName(const std::string& text) {
    if (text.empty() || text.size() > 256) {
        return false;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string GatewayMemory::Encode(const Entries& entries) {
    std::string text = header;
    text += '\n';
    for (const auto& [key, address] : entries) {
        text += key.first + ' ' + key.second + ' ' + Core_Common::bytes_to_hex(address) + '\n';
    }
    return text;
}

std::optional<GatewayMemory::Entries> GatewayMemory::Decode(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != header) {
        return std::nullopt;
    }
    Entries entries;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string link;
        std::string gateway;
        std::string hex;
        std::string rest;
        if (!(fields >> link >> gateway >> hex) || (fields >> rest) || !IsLinkName(link) ||
            !ParseDottedQuad(gateway)) {
            return std::nullopt;
        }
        const auto address = ParseHex(hex);
        if (!address) {
            return std::nullopt;
        }
        entries[{link, gateway}] = *address;
    }
    if (!lines.eof()) {
        return std::nullopt;
    }
    return entries;
}

void GatewayMemory::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    if (store_ == nullptr) {
        return;
    }
    try {
        std::string text;
        if (!store_->ReadLines([&](std::string_view line) { (text += line) += '\n'; }).found) {
            return;
        }
        if (auto entries = Decode(text)) {
            entries_ = std::move(*entries);
            return;
        }
        ReportArp(Core_Service::log_warn, 0,
                  "The remembered gateways in " + store_->Where() +
                      " are not readable as such; they are ignored");
    } catch (SystemErrorCode code) {
        ReportArp(Core_Service::log_warn, code,
                  "The remembered gateways in " + store_->Where() +
                      " could not be read; they are ignored: " + InLine(code));
    } catch (const StoreRefused& refused) {
        ReportArp(Core_Service::log_warn, 0,
                  "The remembered gateways in " + store_->Where() + " are not trusted (it " +
                      refused.reason + "); they are ignored");
    }
}

std::optional<HardwareAddress> GatewayMemory::Recall(const std::string& link,
                                                     const std::string& gateway) {
    Load();
    const auto found = entries_.find({link, gateway});
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void GatewayMemory::Remember(const std::string& link, const std::string& gateway,
                             const HardwareAddress& address) {
    Load();
    HardwareAddress& kept = entries_[{link, gateway}];
    if (kept == address && !save_failed_) {
        return;
    }
    kept = address;
    if (store_ == nullptr) {
        return;
    }
    try {
        store_->Save(Encode(entries_));
        save_failed_ = false;
    } catch (SystemErrorCode code) {
        if (!save_failed_) {
            ReportArp(Core_Service::log_error, code,
                      "The remembered gateways could not be saved in " + store_->Where() + ": " +
                          InLine(code));
        }
        save_failed_ = true;
    }
}

} // namespace Core_SocketARP
