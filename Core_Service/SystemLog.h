// Where the program's lines go. Every line of the service host's reports (LogHelper) and of
// the ARP protection passes through WriteLines, the one place that turns a line's severity into
// the platform's priority.
#pragma once

#include <string_view>

namespace Core_Service {

enum class Severity { information, warning, error };

// The severity of a LogHelper report level: ERROR and WARN name problems, every other level
// is information.
Severity SeverityOfLevel(int level);

// Writes text made of whole lines on standard output in one piece and flushes it, so that
// lines of concurrent writers stay whole and a console shows them at once.
void WriteLines(Severity severity, std::string_view text);

} // namespace Core_Service
