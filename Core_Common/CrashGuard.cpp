// Placeholder until the crash reporter lands: runs the body unguarded.
#include "Core_Common/CrashGuard.h"

namespace Core_Common {

void RunGuarded(const std::function<void()>& body) { body(); }

} // namespace Core_Common
