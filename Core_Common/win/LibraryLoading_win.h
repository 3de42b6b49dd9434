// Libraries from the system's folder only. A library that is not one of the system's known DLLs
// is searched beside the program first: a copy planted there (a download folder, for a debug
// run) would run with the program's rights.
#pragma once

#include "Core_Common/win/WinApi.h"

namespace Core_Common {

// From here on, a library loaded by its name alone comes from the system's folder only, where
// the system can be told so (Windows 8, and Windows 7 with its update KB2533623); elsewhere the
// search stays as it was.
void search_libraries_in_system_folder();

// Loads a library from the system's folder by its full path (its own imports are searched from
// there too); null on failure. Usable while the process crashes: no heap.
HMODULE load_system_library(const wchar_t* name);

} // namespace Core_Common
