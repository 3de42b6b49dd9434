#include "Core_SocketARP/StatusReport.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/TrustText.h"

#include <cstdio>

namespace Core_SocketARP {
namespace {

std::string ServiceName(const PinStatus& status) {
    return Core_Common::wide_to_narrow(status.serviceName, Core_Common::code_page_ansi);
}

// The service manager's state as a word; nothing for a state it has no word for.
const char* StateName(std::uint32_t state) {
    switch (state) {
    case Core_Service::service_stopped:
        return "stopped";
    case Core_Service::service_start_pending:
        return "starting";
    case Core_Service::service_stop_pending:
        return "stopping";
    case Core_Service::service_running:
        return "running";
    case 5: // the continue, pause and paused states of the Service Control Manager
        return "resuming";
    case 6:
        return "pausing";
    case 7:
        return "paused";
    default:
        return nullptr;
    }
}

std::string StateText(std::uint32_t state) {
    const char* name = StateName(state);
    return name != nullptr ? name : "in state " + std::to_string(state);
}

std::string TableError(const AddressStatus& item) {
    return Core_Common::without_line_end(ErrorText(*item.tableError));
}

std::string VerdictText(const AddressStatus& item) {
    switch (item.verdict) {
    case PinVerdict::pinned_trusted:
        return "pinned to its trusted MAC";
    case PinVerdict::pinned_remembered:
        return "pinned to its remembered MAC";
    case PinVerdict::pinned_other:
        return item.trusted ? "pinned to another MAC than the trusted one: an impostor's entry "
                              "(the program never pins another)"
                            : "pinned to another MAC than the remembered one: a replacement the "
                              "program pinned provisionally, or an impostor's entry";
    case PinVerdict::nothing_known:
        return "pinned, but neither trusted nor remembered, so nothing to judge its MAC by (a "
               "first answer not yet confirmed, or a conflict not yet settled)";
    case PinVerdict::not_pinned:
        return "not pinned: the ARP table holds no static entry for it";
    case PinVerdict::unreadable:
        return "not known: the ARP table could not be read: " + TableError(item);
    }
    return {};
}

std::string MacOrNone(const std::optional<HardwareAddress>& mac) {
    return mac ? MacText(*mac) : "none";
}

std::size_t AddressCount(const PinStatus& status, bool holding) {
    std::size_t count = 0;
    for (const AdapterStatus& adapter : status.adapters) {
        for (const AddressStatus& item : adapter.addresses) {
            count += !holding || PinVerdictHolds(item.verdict) ? 1 : 0;
        }
    }
    return count;
}

// ---- JSON

// The length of the UTF-8 sequence at the start of `text`, 0 when none starts there.
std::size_t Utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (first < 0x80) {
        return 1;
    }
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        code = first & 0x1Fu;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        code = first & 0x0Fu;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        code = first & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF are no UTF-8.
    const std::uint32_t least = length == 3 ? 0x800 : 0x10000;
    if ((length > 2 && code < least) || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

std::string Json(std::string_view text) {
    std::string json = "\"";
    while (!text.empty()) {
        const char c = text.front();
        const std::size_t length = Utf8Length(text);
        if (length == 0) {
            json += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            json += escape;
        } else {
            json.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return json + "\"";
}

std::string JsonMac(const std::optional<HardwareAddress>& mac) {
    return mac ? Json(MacText(*mac)) : "null";
}

// Not an overload of Json: a text given as a pointer would take it.
const char* JsonBool(bool value) { return value ? "true" : "false"; }

} // namespace

const char* PinVerdictName(PinVerdict verdict) {
    switch (verdict) {
    case PinVerdict::pinned_trusted:
        return "pinned-trusted";
    case PinVerdict::pinned_remembered:
        return "pinned-remembered";
    case PinVerdict::pinned_other:
        return "pinned-other";
    case PinVerdict::nothing_known:
        return "nothing-known";
    case PinVerdict::not_pinned:
        return "not-pinned";
    case PinVerdict::unreadable:
        break;
    }
    return "unreadable";
}

std::string StatusText(const PinStatus& status) {
    std::string text = "Service \"" + ServiceName(status) + "\": ";
    if (!status.service) {
        text += "not known (" + status.serviceError + ")\n";
    } else if (!status.service->installed) {
        text += "not installed\n";
    } else {
        text += "installed, " + StateText(status.service->state) + "\n";
    }
    if (!status.adaptersError.empty()) {
        text += "The adapters could not be listed: " + status.adaptersError + "\n";
    }
    for (const AdapterStatus& adapter : status.adapters) {
        text += "Adapter " + adapter.name + " (index " + std::to_string(adapter.index) + ", " +
                (adapter.address.empty()
                     ? std::string("no IPv4 address")
                     : adapter.address + "/" + std::to_string(adapter.prefixLength)) +
                ")" + (adapter.addresses.empty() ? ": no gateway" : "") + "\n";
        for (const AddressStatus& item : adapter.addresses) {
            text += std::string(item.isGateway ? "  gateway " : "  trusted address ") +
                    item.address + ": " + VerdictText(item) + "\n";
            text += "    ARP table:  " +
                    (item.tableError ? std::string("not read")
                     : item.pinned   ? MacText(*item.pinned) + " (static)"
                                     : std::string("no static entry")) +
                    "\n";
            text += "    trusted:    " + MacOrNone(item.trusted) + "\n";
            text += "    remembered: " +
                    (item.remembered ? MacText(*item.remembered) +
                                           (item.confirmed != 0 ? " (last answered alone " +
                                                                      UtcText(item.confirmed) + ")"
                                                                : "")
                     : status.rememberedRead ? std::string("none")
                                             : std::string("not known (not readable)")) +
                    "\n";
        }
    }
    for (const std::string& note : status.notes) {
        text += "Note: " + note + "\n";
    }
    const std::size_t all = AddressCount(status, false);
    const std::size_t holding = AddressCount(status, true);
    if (!status.adaptersError.empty()) {
        text += "The pins are not known.\n";
    } else if (all == 0) {
        text += "No adapter has a gateway.\n";
    } else if (holding == all) {
        text += "Every gateway is pinned to its trusted or remembered MAC.\n";
    } else {
        text += std::to_string(all - holding) + " of " + std::to_string(all) +
                (all == 1 ? " address is" : " addresses are") +
                " not pinned to their trusted or remembered MAC.\n";
    }
    return text;
}

std::string StatusJson(const PinStatus& status) {
    std::string json = "{\"service\":{\"name\":" + Json(ServiceName(status));
    if (status.service) {
        json +=
            ",\"installed\":" + std::string(JsonBool(status.service->installed)) + ",\"state\":";
        const char* state = StateName(status.service->state);
        json += status.service->installed && state != nullptr ? Json(state) : "null";
        json += ",\"error\":null}";
    } else {
        json += ",\"installed\":null,\"state\":null,\"error\":" + Json(status.serviceError) + "}";
    }
    json += ",\"adapters\":[";
    for (std::size_t a = 0; a < status.adapters.size(); ++a) {
        const AdapterStatus& adapter = status.adapters[a];
        json += std::string(a == 0 ? "" : ",") + "{\"name\":" + Json(adapter.name) +
                ",\"index\":" + std::to_string(adapter.index) +
                ",\"address\":" + (adapter.address.empty() ? "null" : Json(adapter.address)) +
                ",\"prefix_length\":" + std::to_string(adapter.prefixLength) + ",\"pins\":[";
        for (std::size_t i = 0; i < adapter.addresses.size(); ++i) {
            const AddressStatus& item = adapter.addresses[i];
            json += std::string(i == 0 ? "" : ",") + "{\"address\":" + Json(item.address) +
                    ",\"role\":" + (item.isGateway ? "\"gateway\"" : "\"trusted\"") +
                    ",\"pinned\":" + JsonMac(item.pinned) +
                    ",\"trusted\":" + JsonMac(item.trusted) +
                    ",\"remembered\":" + JsonMac(item.remembered) + ",\"remembered_confirmed\":" +
                    (item.confirmed != 0 ? Json(UtcText(item.confirmed)) : "null") +
                    ",\"verdict\":" + Json(PinVerdictName(item.verdict)) +
                    ",\"ok\":" + JsonBool(PinVerdictHolds(item.verdict)) +
                    ",\"error\":" + (item.tableError ? Json(TableError(item)) : "null") + "}";
        }
        json += "]}";
    }
    json += "],\"adapters_error\":" +
            (status.adaptersError.empty() ? std::string("null") : Json(status.adaptersError));
    json += ",\"remembered_read\":" + std::string(JsonBool(status.rememberedRead)) + ",\"notes\":[";
    for (std::size_t i = 0; i < status.notes.size(); ++i) {
        json += (i == 0 ? "" : ",") + Json(status.notes[i]);
    }
    json += "],\"ok\":" + std::string(JsonBool(AllPinsHold(status))) + "}\n";
    return json;
}

} // namespace Core_SocketARP
