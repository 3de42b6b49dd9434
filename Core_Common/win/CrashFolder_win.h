// The program's own folder for its crash files under %ProgramData%, where no one but SYSTEM and
// the administrators can put anything: a service's crash files are written with the system's
// rights, and a link planted where they go would send those writes elsewhere.
#pragma once

#include <string>

namespace Core_Common {

// Makes "%ProgramData%\<folderName>" the folder of the crash files (set_crash_directory): made if
// missing, owned by the Administrators and open to SYSTEM and the Administrators only (which
// only a process of that group can do), and taken only when it is a folder, not a link, that no
// one but SYSTEM, the Administrators, TrustedInstaller and the process's own account can change,
// and neither can the folders above it. Otherwise (a folder another account made first, a
// process without the rights) the crash files stay beside the executable. True when taken.
bool use_protected_crash_folder(const std::wstring& folderName);

} // namespace Core_Common
