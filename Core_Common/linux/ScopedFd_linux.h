// The owner of a file descriptor. Closing is async-signal-safe, so the crash path may use it.
#pragma once

#include "Core_Common/ScopedHandle.h"

#include <unistd.h>

namespace Core_Common {

struct FdTraits {
    using Handle = int;
    static constexpr Handle invalid() { return -1; }
    static void close(Handle fd) { ::close(fd); }
};
using ScopedFd = ScopedHandle<FdTraits>;

} // namespace Core_Common
