// Stands in for the crash reporter: records its argument (and, on Windows, its whole command
// line) in REPORTER.TXT beside itself, written under another name first so that a reader never
// sees half a file.
#include "Core_Common/Utility.h"

#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include "Core_Common/win/WinApi.h"
#endif

int main(int argc, char** argv) {
    const std::filesystem::path folder =
        std::filesystem::path(Core_Common::module_file_path()).parent_path();
    const std::filesystem::path partial = folder / "REPORTER.PART";
    {
        std::ofstream out(partial, std::ios::binary);
        out << argc << '\n' << (argc > 1 ? argv[1] : "") << '\n';
#ifdef _WIN32
        out << Core_Common::wide_to_narrow(GetCommandLineW(), CP_UTF8) << '\n';
#endif
    }
    std::filesystem::rename(partial, folder / "REPORTER.TXT");
    return 0;
}
