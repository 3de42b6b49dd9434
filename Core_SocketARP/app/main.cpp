// The program's entry point: a wide-character console entry on Windows; on Linux the
// arguments, UTF-8 there, are widened first (without loss: bytes that are not UTF-8 stay what
// they are and match no switch).
#include "Core_Common/Utility.h"
#include "Core_SocketARP/app/Program.h"

#ifdef _WIN32
#include "Core_Common/win/CrashFolder_win.h"
#include "Core_Common/win/LibraryLoading_win.h"
#endif

#include <csignal>
#include <string>
#include <vector>

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Before any other library is loaded: IP Helper, imported late (see CMakeLists.txt), comes
    // from the system's folder, never from beside the program.
    Core_Common::search_libraries_in_system_folder();
    Core_Common::load_system_library(L"iphlpapi.dll");
    Core_Common::use_protected_crash_folder(service_name);
    return ProgramMain(argc, argv);
}
#else
int main(int argc, char** argv) {
    // A closed standard output ("antiarp -debug | head -2") must not end the run unflushed:
    // writes to it fail quietly, as to a console that has gone.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Core_Common::narrow_to_wide(argv[i], Core_Common::code_page_ansi));
    }
    std::vector<wchar_t*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (auto& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return ProgramMain(argc, pointers.data());
}
#endif
