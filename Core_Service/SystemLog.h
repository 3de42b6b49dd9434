// Where the program's lines go. Every line of the service host's reports (LogHelper) and of
// the ARP protection passes through WriteLines, the one place that turns a line's severity into
// the platform's priority: on Linux the journal's "<N>" line prefix when standard output is the
// journal, on Windows the event type of the Event Log once a service run has opened it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Core_Service {

enum class Severity { information, warning, error };

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

} // namespace Core_Service
