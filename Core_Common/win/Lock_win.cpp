#include "Core_Common/Lock.h"

namespace Core_Common {

bool process_barrier_ready() noexcept { return false; }

void process_barrier() noexcept {}

} // namespace Core_Common
