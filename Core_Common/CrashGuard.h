#pragma once

#include <functional>
#include <string>

namespace Core_Common {

// Runs body under the crash guard: an exception or fault that leaves it writes the crash
// report beside the executable, starts the crash reporter and ends the process with exit
// code 100. No catch (...) may stand between a guarded body and this guard.
void RunGuarded(const std::function<void()>& body);

} // namespace Core_Common
