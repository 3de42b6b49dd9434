#include "Core_Common/Lock.h"

#include <cstdlib>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Core_Common {
namespace {

long membarrier(int command) { return syscall(SYS_membarrier, command, 0, 0); }

} // namespace

bool process_barrier_ready() noexcept {
    // Registered once; the first barrier proves that the command is let through (a system-call
    // filter may refuse it).
    static const bool ready = membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 &&
                              membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
    return ready;
}

void process_barrier() noexcept {
    // It answered once: a failure now would leave a biased lock without its exclusion.
    if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
        std::abort();
    }
}

} // namespace Core_Common
