#pragma once

#include "Core_Service/ServiceManager.h"

#include <string>

namespace Core_Service {

// The name of the service's unit, without ".service": the service name lower-cased, blanks
// and other characters outside [a-z0-9_.-] as '-'. "Tarnwick AntiARP" gives "tarnwick-antiarp".
std::string UnitStem(const std::wstring& serviceName);

// The unit file that registers a service with systemd: started at boot, restarted after a
// crash, told apart from a console run by its notify socket, and hardened to what the program
// needs. The Description= line holds the display name until WriteUnitDescription replaces it.
std::string MakeUnitFile(const ServiceDefinition& definition);

// The unit file with its Description= line set to `description`.
std::string WriteUnitDescription(const std::string& unitFile, const std::wstring& description);

// A path as one double-quoted word of a unit's command line, with systemd's escapes for '\',
// '"', '%' and control characters. '$' stays as it is: systemd expands no variables in the
// program's path, and does not undo "$$" there either.
std::string QuoteUnitPath(const std::string& path);

// Why systemd would refuse to run the program at `path`, or empty when it would not: it takes
// no quote, backslash or control character in a program's path, and only UTF-8 in a unit
// file. The text names the path, with such characters as "\xNN".
std::wstring ExecPathRefusal(const std::wstring& path);

} // namespace Core_Service
