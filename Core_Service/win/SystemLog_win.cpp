#include "Core_Service/SystemLog.h"

namespace Core_Service {

void WriteLines(Severity /*severity*/, std::string_view text) { WriteStandardOutput(text); }

} // namespace Core_Service
