#include "Core_Service/SystemLog.h"

#include "Core_Service/LogHelper.h"

#include <charconv>
#include <cstdio>
#include <utility>

namespace Core_Service {
namespace {

// A whole decimal number and nothing else.
bool parse_decimal(std::string_view text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc{} && stop == end;
}

// The one table of the identifiers. The event IDs are those of the message table
// (win/EventMessages.mc); the MESSAGE_IDs were drawn at random once and never change.
constexpr EventIdentifier identifiers[] = {
    {EventKind::none, "none", 0, ""},
    {EventKind::pinned, "pinned", 10, "f254522e7c3641bb801cdce57b9f6013"},
    {EventKind::conflict, "conflict", 11, "b410b602a0744f0c90452845accc16fc"},
    {EventKind::impostor, "impostor", 12, "ef4edc0982a74566b007d9688c29de78"},
    {EventKind::replaced, "replaced", 13, "672831b1ed264a3482b448156e31bcd9"},
    {EventKind::attack, "attack", 14, "d92009a612af4d6d934d3114f26dca34"},
    {EventKind::error, "error", 3, "fb55b015300a4b7399c81237c6577793"},
};

// Event IDs of the lines of no kind, by severity.
constexpr std::uint32_t event_information = 1;
constexpr std::uint32_t event_warning = 2;

// One field of a journal entry; a value with a line end in the binary form: the name, a line
// end, the value's length as 64 bits little-endian, the value, a line end.
void add_field(std::string& entry, std::string_view name, std::string_view value) {
    entry += name;
    if (value.find('\n') == std::string_view::npos) {
        entry += '=';
        entry += value;
    } else {
        entry += '\n';
        std::uint64_t length = value.size();
        for (int i = 0; i < 8; ++i, length >>= 8) {
            entry += static_cast<char>(length & 0xFF);
        }
        entry += value;
    }
    entry += '\n';
}

} // namespace

const EventIdentifier& IdentifierOf(EventKind kind) {
    for (const EventIdentifier& identifier : identifiers) {
        if (identifier.kind == kind) {
            return identifier;
        }
    }
    return identifiers[0];
}

EventKind KindOf(Severity severity, const EventFields& fields) {
    if (fields.kind != EventKind::none) {
        return fields.kind;
    }
    return severity == Severity::error ? EventKind::error : EventKind::none;
}

std::uint32_t EventIdOf(Severity severity, const EventFields& fields) {
    const EventKind kind = KindOf(severity, fields);
    if (kind != EventKind::none) {
        return IdentifierOf(kind).eventId;
    }
    return severity == Severity::warning ? event_warning : event_information;
}

std::string JournalEntry(std::string_view line, Severity severity, const EventFields& fields,
                         std::string_view identifier, std::string_view unit) {
    std::string entry;
    add_field(entry, "MESSAGE", line);
    add_field(entry, "PRIORITY", std::to_string(JournalPriority(severity)));
    if (!identifier.empty()) {
        add_field(entry, "SYSLOG_IDENTIFIER", identifier);
    }
    if (const char* id = IdentifierOf(KindOf(severity, fields)).messageId; *id != '\0') {
        add_field(entry, "MESSAGE_ID", id);
    }
    const std::pair<const char*, const std::string*> named[] = {
        {"TARNWICK_LINK", &fields.link},
        {"TARNWICK_GATEWAY", &fields.gateway},
        {"TARNWICK_MAC", &fields.mac},
    };
    for (const auto& [name, value] : named) {
        if (!value->empty()) {
            add_field(entry, name, *value);
        }
    }
    if (!unit.empty()) {
        add_field(entry, "OBJECT_SYSTEMD_UNIT", unit);
    }
    return entry;
}

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

void WriteStandardOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int JournalPriority(Severity severity) {
    switch (severity) {
    case Severity::error:
        return 3;
    case Severity::warning:
        return 4;
    case Severity::information:
        break;
    }
    return 6;
}

bool JournalStreamNames(std::string_view journalStream, std::uint64_t device, std::uint64_t inode) {
    const std::size_t colon = journalStream.find(':');
    std::uint64_t namedDevice = 0;
    std::uint64_t namedInode = 0;
    return colon != std::string_view::npos &&
           parse_decimal(journalStream.substr(0, colon), namedDevice) &&
           parse_decimal(journalStream.substr(colon + 1), namedInode) && namedDevice == device &&
           namedInode == inode;
}

std::string WithLinePriority(std::string_view text, int priority) {
    const std::string prefix = "<" + std::to_string(priority) + ">";
    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        result += prefix;
        result += text.substr(start, end - start);
        start = end;
    }
    return result;
}

} // namespace Core_Service
