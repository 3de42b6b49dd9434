// Where the program's lines go. Every line of the service host's reports (LogHelper) and of
// the ARP protection passes through WriteLines, the one place that turns a line's severity and
// kind into the platform's priority and identifiers: on Linux an entry of the journal's own
// protocol when standard output is the journal, on Windows the event type and ID of the Event
// Log once a service run has opened it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Core_Service {

enum class Severity { information, warning, error };

// What a line tells, for the machine-readable identifiers the system logs give it. A line of no
// particular kind is told by its severity: an error line is of the kind `error`.
enum class EventKind {
    none,
    pinned,   // a gateway or trusted address pinned, or pinned again
    conflict, // answers of more than one MAC that nothing known decides
    impostor, // a MAC other than the trusted or remembered one, unmasked
    replaced, // a remembered gateway's MAC replaced: challenged, pinned provisionally, remembered
    attack,   // frames claiming a pinned address with another MAC, dropped by the pin
    error,
};

// The stable identifiers of a kind: its Windows event ID (the program's message table) and its
// journal MESSAGE_ID (128 bits, 32 hexadecimal digits); `none` has the event IDs of information
// (1) and warnings (2) and no MESSAGE_ID.
struct EventIdentifier {
    EventKind kind;
    const char* name;
    std::uint32_t eventId;
    const char* messageId; // empty for `none`
};
const EventIdentifier& IdentifierOf(EventKind kind);

// What a line is about besides its text; empty texts are left out of the journal's fields.
struct EventFields {
    EventKind kind = EventKind::none;
    std::string link{};
    std::string gateway{}; // dotted decimal
    std::string mac{};     // aa:bb:cc:dd:ee:ff
};

// The kind a line of this severity and these fields is: the fields' own, else `error` for an
// error line, else `none`.
EventKind KindOf(Severity severity, const EventFields& fields);

// The event ID of a line: its kind's, or for a line of no kind the one of its severity.
std::uint32_t EventIdOf(Severity severity, const EventFields& fields);

// The severity of a LogHelper report level: ERROR and WARN name problems, every other level
// is information.
Severity SeverityOfLevel(int level);

// Writes text made of whole lines on standard output in one piece and flushes it, so that
// lines of concurrent writers stay whole and a console shows them at once; and to the
// platform's system log where it takes them.
void WriteLines(Severity severity, std::string_view text);

// The same for wide text, the service host's reports. A Windows console takes it as it is, so
// that no character of the program's own texts turns into "?" where the console's code page
// lacks it; everywhere else (a pipe, a file, Linux) it is written as the narrow text of the
// ANSI code page, byte for byte what the narrow form would write.
void WriteLines(Severity severity, std::wstring_view text);

// The same with the fields of the line's event: on Linux, when standard output is the journal,
// each line is an entry of the journal's own protocol with its MESSAGE_ID and fields (and a
// line goes to standard output with its priority as before when the journal cannot take it);
// on Windows the event gets the kind's event ID.
void WriteLines(Severity severity, std::string_view text, const EventFields& fields);
void WriteLines(Severity severity, std::wstring_view text, const EventFields& fields);

// The pieces of WriteLines (portable, so that they are tested everywhere).

// Text on standard output in one piece, flushed.
void WriteStandardOutput(std::string_view text);

// The journal's priority of a severity: 3 (error), 4 (warning), 6 (information).
int JournalPriority(Severity severity);

// True when `journalStream`, the value of $JOURNAL_STREAM ("<device>:<inode>" in decimal, set
// by systemd for a service whose output it connected to the journal), names the file with this
// device and inode number.
bool JournalStreamNames(std::string_view journalStream, std::uint64_t device, std::uint64_t inode);

// The text with "<priority>" in front of each of its lines.
std::string WithLinePriority(std::string_view text, int priority);

// One line (without its line end) as an entry of the journal's native protocol: "NAME=value\n"
// for each field (a value holding a line end in the protocol's binary form): MESSAGE, PRIORITY,
// SYSLOG_IDENTIFIER, the kind's MESSAGE_ID, TARNWICK_LINK, TARNWICK_GATEWAY and TARNWICK_MAC
// where the line has them, and OBJECT_SYSTEMD_UNIT when `unit` names the service's unit (so that
// `journalctl -u` finds the line even when the journal could not tell the sender's unit).
std::string JournalEntry(std::string_view line, Severity severity, const EventFields& fields,
                         std::string_view identifier, std::string_view unit);

} // namespace Core_Service
