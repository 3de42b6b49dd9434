// errno as the system error code that the Linux network code throws.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <cerrno>

namespace Core_SocketARP {

// The errno of the call that just failed.
inline SystemErrorCode LastErrno() { return static_cast<SystemErrorCode>(errno); }

[[noreturn]] inline void ThrowErrno() { throw LastErrno(); }

[[noreturn]] inline void ThrowCode(int code) { throw static_cast<SystemErrorCode>(code); }

} // namespace Core_SocketARP
