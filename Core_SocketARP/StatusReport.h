// The status report as an administrator reads it (text) and as fleet tools read it (one JSON
// object); the fields of both are described in the README ("/status").
#pragma once

#include "Core_SocketARP/PinStatus.h"

#include <string>

namespace Core_SocketARP {

// Lines, each ending with "\n".
std::string StatusText(const PinStatus& status);

// One JSON object and a "\n". Texts that are not UTF-8 (a link's name of other bytes) have
// U+FFFD in place of each byte that is not.
std::string StatusJson(const PinStatus& status);

// A verdict's name in the JSON object: "pinned-trusted", "pinned-remembered", "pinned-other",
// "nothing-known", "not-pinned", "unreadable".
const char* PinVerdictName(PinVerdict verdict);

} // namespace Core_SocketARP
