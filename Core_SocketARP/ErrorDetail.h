// The platform's own words about a failure, beside its code: the kernel's message of a refused
// netlink request on Linux. The passes throw and catch the code alone; the words wait beside
// it, for the thread that failed, until the line that prints the code takes them.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <string>

namespace Core_SocketARP {

// Keeps the words of the failure with `code` that is about to be thrown or returned, in place
// of anything kept before; empty words keep nothing.
void KeepErrorDetail(SystemErrorCode code, std::string text);

// Keeps nothing: a new operation begins.
void ForgetErrorDetail();

// The words kept for `code` (empty when none, or kept for another code); nothing is kept after.
std::string TakeErrorDetail(SystemErrorCode code);

} // namespace Core_SocketARP
