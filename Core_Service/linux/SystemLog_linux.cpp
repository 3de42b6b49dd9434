// Linux: a service's standard output is the journal, which reads a "<N>" prefix of each line
// as the line's priority. Output that goes elsewhere (a console, a pipe, a file) stays as it is.
#include "Core_Service/SystemLog.h"

#include "Core_Common/Utility.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace Core_Service {
namespace {

// Asked for every write: standard output may be redirected while the process runs.
bool output_is_journal() {
    const char* journalStream = std::getenv("JOURNAL_STREAM");
    struct stat output {};
    return journalStream != nullptr && fstat(STDOUT_FILENO, &output) == 0 &&
           JournalStreamNames(journalStream, output.st_dev, output.st_ino);
}

} // namespace

void WriteLines(Severity severity, std::string_view text) {
    if (output_is_journal()) {
        WriteStandardOutput(WithLinePriority(text, JournalPriority(severity)));
    } else {
        WriteStandardOutput(text);
    }
}

void WriteLines(Severity severity, std::wstring_view text) {
    WriteLines(severity,
               Core_Common::wide_to_narrow(std::wstring(text), Core_Common::code_page_ansi));
}

} // namespace Core_Service
