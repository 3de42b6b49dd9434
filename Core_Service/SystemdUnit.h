#pragma once

#include "Core_Service/ServiceManager.h"

#include <string>

namespace Core_Service {

// The name of the service's unit, without ".service": the service name lower-cased, blanks
// and other characters outside [a-z0-9_.-] as '-'. "Tarnwick AntiARP" gives "tarnwick-antiarp".
std::string UnitStem(const std::wstring& serviceName);

// The unit file that registers a service with systemd: started at boot, not restarted, told
// apart from a console run by its notify socket, and hardened to what the program needs. The
// Description= line holds the display name until WriteUnitDescription replaces it.
std::string MakeUnitFile(const ServiceDefinition& definition);

// The unit file with its Description= line set to `description`.
std::string WriteUnitDescription(const std::string& unitFile, const std::wstring& description);

// A path as one double-quoted word of a unit's command line, with systemd's escapes for '\',
// '"', '%', '$' and control characters.
std::string QuoteUnitPath(const std::string& path);

} // namespace Core_Service
