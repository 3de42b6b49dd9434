// The real IP Helper entry points (Windows only).
#pragma once

#include "Core_SocketARP/IpHelperStack.h"

namespace Core_SocketARP {

// The process's IP Helper API: ordinary imports, and the late-bound entry points looked up in
// the already loaded "Iphlpapi.dll".
IpHelperApi& SystemIpHelperApi();

} // namespace Core_SocketARP
