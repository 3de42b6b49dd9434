// Runs crash_child in a fresh folder per case (a copy of it, with the stand-in reporter beside
// it) and checks what the crash left: the exit code, the three crash files, the report's first
// lines and the reporter's command line.
#include "Core_Common/Utility.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "Core_Common/win/WinApi.h"

#include <aclapi.h>
#include <tlhelp32.h>
#else
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

#ifdef _WIN32
constexpr const char* executable_suffix = ".exe";
const std::string child_file = "crash_child.exe";
#else
constexpr const char* executable_suffix = "";
const std::string child_file = "crash_child";
#endif
const std::string display_name = "Tarnwick ARP Protect 1.0";

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The report as narrow UTF-8 text: Windows writes UTF-16LE without a byte-order mark.
std::string report_text(const std::string& bytes) {
#ifdef _WIN32
    std::wstring wide;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return Core_Common::wide_to_narrow(wide, CP_UTF8);
#else
    return bytes;
#endif
}

std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t end = 0;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

struct child_result {
    bool exited = false; // ended by itself (not by a signal)
    int code = -1;       // exit code, or the signal number when it did not exit
};

// A pause of the whole child, as a stop signal, a freezer or a debugger makes one: once the
// child has stopped itself (Linux) or said "holding" and been suspended (Windows), it stands
// still for this long, then goes on.
using pause_length = std::optional<std::chrono::milliseconds>;

#ifdef _WIN32
// Reads the child's output until "holding" (true) or its end (false).
template <class Read> bool saw_holding(Read read) {
    std::string seen;
    char c = 0;
    while (seen.find("holding") == std::string::npos && read(c)) {
        seen += c;
    }
    return seen.find("holding") != std::string::npos;
}

// Suspends or resumes every thread of a process, as a debugger holds it; once a suspension
// returns, every thread stands still.
void hold_threads(DWORD processId, bool hold) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId) {
            continue;
        }
        if (const HANDLE thread =
                OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID)) {
            EXPECT_NE(hold ? SuspendThread(thread) : ResumeThread(thread), DWORD(-1));
            if (hold) {
                // A suspension takes effect later; reading the context waits for it.
                CONTEXT context{};
                context.ContextFlags = CONTEXT_CONTROL;
                EXPECT_NE(GetThreadContext(thread, &context), 0);
            }
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

child_result run_child(const fs::path& program, const std::vector<std::string>& arguments,
                       pause_length pause) {
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::string& argument : arguments) {
        commandLine += L" " + Core_Common::narrow_to_wide(argument, CP_UTF8);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE output = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE input = nullptr;
    HANDLE childInput = nullptr;
    if (pause) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        EXPECT_NE(CreatePipe(&output, &childOutput, &inherited, 0), 0);
        EXPECT_NE(CreatePipe(&childInput, &input, &inherited, 0), 0);
        SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
    }
    PROCESS_INFORMATION process{};
    child_result result;
    const BOOL started = CreateProcessW(
        program.wstring().c_str(), commandLine.data(), nullptr, nullptr, pause ? TRUE : FALSE, 0,
        nullptr, program.parent_path().wstring().c_str(), &startup, &process);
    if (pause) {
        CloseHandle(childOutput);
        CloseHandle(childInput);
    }
    if (started == 0) {
        ADD_FAILURE() << "cannot start " << program.string() << ": " << GetLastError();
        return result;
    }
    if (pause) {
        const auto read = [&](char& c) {
            DWORD got = 0;
            return ReadFile(output, &c, 1, &got, nullptr) != 0 && got == 1;
        };
        if (saw_holding(read)) {
            hold_threads(process.dwProcessId, true);
            std::this_thread::sleep_for(*pause); // the pause itself
            hold_threads(process.dwProcessId, false);
            DWORD written = 0;
            WriteFile(input, "go\n", 3, &written, nullptr);
        } else {
            ADD_FAILURE() << "the child never held";
        }
        CloseHandle(input);
        for (char c = 0; read(c);) {
        }
        CloseHandle(output);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    result.exited = true;
    result.code = static_cast<int>(code);
    return result;
}
#else
// The child's standard error goes to CHILD.ERR beside it. This process adopts what the child
// leaves running (the reporter) and waits for all of it: once the call returns, a reporter that
// was started has finished.
child_result run_child(const fs::path& program, const std::vector<std::string>& arguments,
                       pause_length pause) {
    static const bool adopts = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    EXPECT_TRUE(adopts);
    const std::string path = program.string();
    const std::string errors = (program.parent_path() / "CHILD.ERR").string();
    std::vector<char*> argv = {const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    child_result result;
    const int error = posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        ADD_FAILURE() << "cannot start " << path << ": " << error;
        return result;
    }
    int status = 0;
    while (waitpid(child, &status, pause ? WUNTRACED : 0) < 0 && errno == EINTR) {
    }
    if (pause) {
        // The child has stopped itself, or ended without doing so.
        if (WIFSTOPPED(status)) {
            std::this_thread::sleep_for(*pause); // the pause itself
            kill(child, SIGCONT);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        } else {
            ADD_FAILURE() << "the child never stopped";
        }
    }
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.code = WTERMSIG(status);
    }
    return result;
}
#endif

class CrashChild : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        const fs::path here = fs::path(Core_Common::module_file_path()).parent_path();
#ifdef _WIN32
        const auto pid = static_cast<unsigned long>(GetCurrentProcessId());
#else
        const auto pid = static_cast<unsigned long>(getpid());
#endif
        folder = fs::temp_directory_path() /
                 ("tw_crash_" + std::to_string(pid) + "_" + std::to_string(++counter));
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy_file(here / child_file, folder / child_file);
        fs::copy_file(here / (std::string("CrashReport") + executable_suffix),
                      folder / (std::string("CrashReport") + executable_suffix));
        // Whatever the umask: only its owner may change the reporter or its folder.
        constexpr auto shared = fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec;
        fs::permissions(folder, shared);
        fs::permissions(folder / (std::string("CrashReport") + executable_suffix), shared);
    }

    void TearDown() override {
        if (!HasFailure()) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        } else {
            std::cerr << "crash files kept in " << folder.string() << '\n';
        }
    }

    child_result crash(const std::string& scenario, const std::string& detail = {},
                       pause_length pause = std::nullopt) {
        std::vector<std::string> arguments = {scenario};
        if (!detail.empty()) {
            arguments.push_back(detail);
        }
        return run_child(folder / child_file, arguments, pause);
    }

    bool exists(const char* name) const { return fs::exists(folder / name); }

    std::string report() const { return report_text(read_bytes(folder / "CRASHLOG.TXT")); }

    // The stand-in reporter runs on after the child has ended: wait for its file, and read it
    // again while it cannot be opened (under Wine, a file just renamed into place can refuse
    // the reader for a moment while the rename's handle is still open).
    std::vector<std::string> reporter_lines() const {
        const fs::path file = folder / "REPORTER.TXT";
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            std::vector<std::string> lines;
            std::ifstream in(file, std::ios::binary);
            for (std::string line; std::getline(in, line);) {
                lines.push_back(line);
            }
            if (!lines.empty() || std::chrono::steady_clock::now() >= limit) {
                return lines;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Everything a finished report shows, whatever the exception.
    void expect_complete_report(const std::string& exceptionName, const std::string& code) {
        const std::string bytes = read_bytes(folder / "CRASHLOG.TXT");
        ASSERT_FALSE(bytes.empty());
#ifdef _WIN32
        ASSERT_FALSE(bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                     static_cast<unsigned char>(bytes[1]) == 0xFE)
            << "no byte-order mark";
        EXPECT_EQ(bytes.size() % 2, 0u);
#endif
        const std::string text = report();
        const auto lines = crlf_lines(text);
        ASSERT_GE(lines.size(), 12u);
        const std::string executable = child_file.substr(0, child_file.find('.'));
        EXPECT_EQ(lines[0], executable + " caused " + exceptionName + " (" + code + ") ");
        EXPECT_TRUE(std::regex_match(lines[1], std::regex("in module " + executable +
                                                          "(\\.exe)? at [0-9a-f]{4}:([0-9a-f]{8}|"
                                                          "[0-9a-f]{16})\\.")))
            << lines[1];
        EXPECT_EQ(lines[2], "");
        EXPECT_EQ(lines[3], "Exception handler called in .");
        EXPECT_TRUE(std::regex_match(lines[4], std::regex("Error occurred at \\d+/\\d+/\\d{4} "
                                                          "\\d\\d:\\d\\d:\\d\\d\\.")))
            << lines[4];
        EXPECT_THAT(lines[5], HasSubstr(child_file + ", run by "));
        EXPECT_THAT(lines[6], ::testing::StartsWith("Operating system:  "));
        EXPECT_THAT(text, HasSubstr("Socket init version: n/a\r\n"));
        EXPECT_THAT(text, HasSubstr("\r\nContext:\r\n"));
        EXPECT_THAT(text, HasSubstr("Module List: [Ignore]\r\n"));
        // Every line ends in CR LF: no lone line feed anywhere.
        for (std::size_t at = text.find('\n'); at != std::string::npos;
             at = text.find('\n', at + 1)) {
            ASSERT_EQ(text[at - 1], '\r') << "at " << at;
        }
        EXPECT_TRUE(text.ends_with("\r\n===== [end of CRASHLOG.TXT] =====\r\n"));
    }

    void expect_dump() const {
        const std::string dump = read_bytes(folder / "CRASH.DMP");
#ifdef _WIN32
        // dbghelp's minidump signature.
        EXPECT_EQ(dump.substr(0, 4), "MDMP");
#else
        EXPECT_EQ(dump.substr(0, 22), "TARNWICK CRASH DUMP 1\n");
        for (const char* section : {"\n[registers]\n", "\n[memory map]\n", "\n[stack]\n"}) {
            EXPECT_THAT(dump, HasSubstr(section));
        }
        EXPECT_THAT(dump, HasSubstr(child_file + "\n"));
        EXPECT_TRUE(dump.ends_with("\n[end]\n"));
#endif
    }

    void expect_empty_log_data_file() const {
        ASSERT_TRUE(exists("CRASHLOG.DAT"));
        EXPECT_EQ(fs::file_size(folder / "CRASHLOG.DAT"), 0u);
    }

    void expect_reporter_started() const {
        const auto lines = reporter_lines();
        ASSERT_GE(lines.size(), 2u) << "the reporter did not run";
        EXPECT_EQ(lines[0], "2");
        EXPECT_EQ(lines[1], display_name + child_file);
#ifdef _WIN32
        ASSERT_GE(lines.size(), 3u);
        const std::string reporter =
            Core_Common::wide_to_narrow((folder / "CrashReport.exe").wstring(), CP_UTF8);
        EXPECT_EQ(lines[2], reporter + " \"" + display_name + child_file + "\"");
#endif
    }

    void expect_full_crash(const std::string& scenario, const std::string& exceptionName,
                           const std::string& code) {
        const child_result result = crash(scenario);
        ASSERT_TRUE(result.exited) << "ended by signal " << result.code;
        EXPECT_EQ(result.code, 100);
        expect_dump();
        expect_complete_report(exceptionName, code);
        expect_empty_log_data_file();
        expect_reporter_started();
    }

    fs::path folder;
};

#ifdef _WIN32
constexpr const char* null_address = "00000000";
#else
constexpr const char* null_address = "0000000000000000";
#endif

} // namespace

TEST_F(CrashChild, ReadFromAddressZeroIsReportedAsAccessViolation) {
    expect_full_crash("read_null", "an Access Violation", "0xc0000005");
    EXPECT_THAT(report(), HasSubstr(std::string("msg id: 0\r\n\r\nRead from location ") +
                                    null_address + " caused an access violation.\r\n"));
}

TEST_F(CrashChild, WriteToAddressZeroIsReportedAsAccessViolation) {
    expect_full_crash("write_null", "an Access Violation", "0xc0000005");
    EXPECT_THAT(report(), HasSubstr(std::string("Write to location ") + null_address +
                                    " caused an access violation.\r\n"));
}

TEST_F(CrashChild, IntegerDivideByZeroIsReported) {
    expect_full_crash("divide_by_zero", "an Integer Divide by Zero", "0xc0000094");
    EXPECT_THAT(report(), Not(HasSubstr("caused an access violation")));
}

TEST_F(CrashChild, ThrownIntegerOnTheMainThreadIsACppException) {
    expect_full_crash("throw_main", "a Microsoft C++ Exception", "0xe06d7363");
}

TEST_F(CrashChild, ThrownIntegerOnAWorkerThreadIsACppException) {
    expect_full_crash("throw_worker", "a Microsoft C++ Exception", "0xe06d7363");
}

TEST_F(CrashChild, ExceptionInAQueuedTaskEndsTheProcessBeforeTheNextTask) {
    expect_full_crash("throw_in_task", "a Microsoft C++ Exception", "0xe06d7363");
}

TEST_F(CrashChild, BlockedDispatcherEndsTheProcessThroughTheWatchdog) {
    expect_full_crash("dead_loop", "a Microsoft C++ Exception", "0xe06d7363");
}

TEST_F(CrashChild, PauseOfTheWholeProcessIsNoSilenceForTheWatchdog) {
    // Half as long again as the silence allowed: the watchdog wakes late, with nobody having
    // fed it. The silence is long enough for what a loaded machine adds around the pause.
    constexpr std::chrono::milliseconds silence{2000};
    const child_result result = crash("paused", std::to_string(silence.count()), silence * 3 / 2);
    ASSERT_TRUE(result.exited) << "ended by signal " << result.code;
    EXPECT_EQ(result.code, 0);
    EXPECT_FALSE(exists("CRASHLOG.TXT"));
}

TEST_F(CrashChild, SecondExceptionDuringTheReportEndsTheProcessAtOnce) {
    // After an ordinary fault, and after a stack overflow, whose report has a stack of its own.
    for (const char* scenario : {"second_during_report", "second_during_overflow_report"}) {
        SCOPED_TRACE(scenario);
        fs::remove(folder / "CRASH.DMP");
        fs::remove(folder / "CRASHLOG.TXT");
        const child_result result = crash(scenario);
        ASSERT_TRUE(result.exited) << "ended by signal " << result.code;
        EXPECT_EQ(result.code, 100);
        expect_dump();
        // The report file was begun but never finished, and no reporter was started.
        ASSERT_TRUE(exists("CRASHLOG.TXT"));
        EXPECT_THAT(report(), Not(HasSubstr("===== [end of")));
        EXPECT_FALSE(exists("CRASHLOG.DAT"));
        EXPECT_FALSE(exists("REPORTER.TXT"));
    }
}

#ifdef _WIN32
TEST_F(CrashChild, UncreatableReportFilePassesTheExceptionOn) {
    const child_result result = crash("read_null", "missing");
    EXPECT_EQ(static_cast<unsigned>(result.code), 0xC0000005u);
    EXPECT_FALSE(exists("CRASH.DMP"));
    EXPECT_FALSE(exists("CRASHLOG.TXT"));
    EXPECT_FALSE(exists("CRASHLOG.DAT"));
    EXPECT_FALSE(exists("REPORTER.TXT"));
    EXPECT_FALSE(fs::exists(folder / "no-such-folder"));
}
#else
// The crash folder (the service's state directory) missing or read-only: nothing is written,
// standard error says so, and the process still ends with the crash exit code.
TEST_F(CrashChild, CrashFolderThatCannotTakeTheFilesStillEndsWithTheCrashCode) {
    fs::create_directory(folder / "read-only");
    fs::permissions(folder / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
    const struct {
        const char* scenario;
        const char* folder;
    } cases[] = {{"read_null", "missing"}, {"read_null", "read_only"}, {"throw_main", "missing"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + c.folder);
        const child_result result = crash(c.scenario, c.folder);
        EXPECT_TRUE(result.exited) << "ended by signal " << result.code;
        EXPECT_EQ(result.code, 100);
        EXPECT_THAT(read_bytes(folder / "CHILD.ERR"),
                    HasSubstr("Error creating exception report\n"));
        EXPECT_FALSE(exists("REPORTER.TXT"));
        EXPECT_FALSE(fs::exists(folder / "no-such-folder"));
        EXPECT_TRUE(fs::is_empty(folder / "read-only"));
        for (const char* name : {"CRASH.DMP", "CRASHLOG.TXT", "CRASHLOG.DAT"}) {
            EXPECT_FALSE(exists(name)) << name;
        }
    }
    fs::permissions(folder / "read-only", fs::perms::owner_all);
}
#endif

TEST_F(CrashChild, GuardedBodyThatReturnsLeavesNoCrashFiles) {
    const child_result result = crash("clean");
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.code, 0);
    EXPECT_FALSE(exists("CRASH.DMP"));
    EXPECT_FALSE(exists("CRASHLOG.TXT"));
    EXPECT_FALSE(exists("CRASHLOG.DAT"));
}

#ifndef _WIN32
TEST_F(CrashChild, CrashFilesPlantedAsLinksAreReplacedNotFollowed) {
    const fs::path victim = folder / "victim";
    std::ofstream(victim) << "untouched";
    const char* names[] = {"CRASH.DMP", "CRASHLOG.TXT", "CRASHLOG.DAT"};
    for (const char* name : names) {
        fs::create_symlink(victim, folder / name);
    }
    expect_full_crash("read_null", "an Access Violation", "0xc0000005");
    EXPECT_EQ(read_bytes(victim), "untouched");
    for (const char* name : names) {
        EXPECT_FALSE(fs::is_symlink(folder / name)) << name;
    }
}

TEST_F(CrashChild, ReporterThatOthersCouldHaveChangedIsNotStarted) {
    const fs::path reporter = folder / "CrashReport";
    const auto expect_not_started = [&](const char* why) {
        SCOPED_TRACE(why);
        const child_result result = crash("read_null");
        EXPECT_TRUE(result.exited && result.code == 100) << result.code;
        EXPECT_TRUE(exists("CRASHLOG.TXT"));
        EXPECT_FALSE(exists("REPORTER.TXT"));
    };
    fs::permissions(reporter, fs::perms::group_write, fs::perm_options::add);
    expect_not_started("the group may write the reporter");
    fs::permissions(reporter, fs::perms::group_write, fs::perm_options::remove);

    fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
    expect_not_started("everybody may write its folder");
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::remove);

    const fs::path link = folder / "CrashReport.real";
    fs::rename(reporter, link);
    fs::create_symlink(link, reporter);
    expect_not_started("the reporter is a link");
    fs::remove(reporter);
    fs::rename(link, reporter);

    if (geteuid() == 0) { // only root can give a file away
        ASSERT_EQ(chown(reporter.c_str(), 65534, 65534), 0);
        expect_not_started("the reporter belongs to another user");
        ASSERT_EQ(chown(reporter.c_str(), 0, 0), 0);
    }
    // The same reporter, trusted again, is started.
    expect_full_crash("read_null", "an Access Violation", "0xc0000005");
}

TEST_F(CrashChild, ReporterThatCannotBeStartedIsSaidOnStandardError) {
    // Trusted, but not a program: the system refuses to run it.
    fs::permissions(folder / "CrashReport", fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
    const child_result result = crash("read_null");
    ASSERT_TRUE(result.exited) << "ended by signal " << result.code;
    EXPECT_EQ(result.code, 100);
    expect_complete_report("an Access Violation", "0xc0000005");
    EXPECT_THAT(read_bytes(folder / "CHILD.ERR"),
                HasSubstr("Error starting crash reporter: error " + std::to_string(EACCES) + "\n"));
    EXPECT_FALSE(exists("REPORTER.TXT"));
}

TEST_F(CrashChild, CrashFilesThatCannotBeWrittenInFullAreSaidOnStandardError) {
    const child_result result = crash("full_disk");
    ASSERT_TRUE(result.exited) << "ended by signal " << result.code;
    EXPECT_EQ(result.code, 100);
    const std::string errors = read_bytes(folder / "CHILD.ERR");
    EXPECT_THAT(errors, HasSubstr("Error writing crash dump\n"));
    EXPECT_THAT(errors, HasSubstr("Error writing exception report\n"));
    EXPECT_EQ(fs::file_size(folder / "CRASHLOG.TXT"), 512u);
}
#endif

TEST_F(CrashChild, StackOverflowIsReportedFromAStackOfItsOwn) {
    expect_full_crash("stack_overflow", "a Stack Overflow", "0xc00000fd");
}

#ifdef _WIN32
TEST_F(CrashChild, InvalidParameterThrowsTheIntegerZeroIntoTheGuard) {
    expect_full_crash("invalid_parameter", "a Microsoft C++ Exception", "0xe06d7363");
}

namespace {

// Everyone may change the file or folder while this lives (under Wine: others may write it);
// then it has its access list back.
class EveryoneMayChange {
public:
    explicit EveryoneMayChange(const fs::path& path) : path_(path.wstring()) {
        PACL dacl = nullptr;
        EXPECT_EQ(GetNamedSecurityInfoW(path_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &dacl, nullptr, &original_),
                  static_cast<DWORD>(ERROR_SUCCESS));
        original_dacl_ = dacl;
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof everyone;
        EXPECT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
        EXPLICIT_ACCESS_W entry{};
        entry.grfAccessPermissions = GENERIC_ALL;
        entry.grfAccessMode = GRANT_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
        PACL changed = nullptr;
        EXPECT_EQ(SetEntriesInAclW(1, &entry, dacl, &changed), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(SetNamedSecurityInfoW(path_.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, changed, nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
        LocalFree(changed);
    }
    ~EveryoneMayChange() {
        SetNamedSecurityInfoW(path_.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, original_dacl_, nullptr);
        LocalFree(original_);
    }
    EveryoneMayChange(const EveryoneMayChange&) = delete;
    EveryoneMayChange& operator=(const EveryoneMayChange&) = delete;

private:
    std::wstring path_;
    PSECURITY_DESCRIPTOR original_ = nullptr;
    PACL original_dacl_ = nullptr;
};

} // namespace

// A link that someone put where a crash file goes is removed, not written through: the file it
// leads to stays as it was.
TEST_F(CrashChild, CrashFilesPlantedAsLinksAreReplacedNotWrittenThrough) {
    const fs::path victim = folder / "victim";
    std::ofstream(victim) << "untouched";
    for (const char* name : {"CRASH.DMP", "CRASHLOG.TXT", "CRASHLOG.DAT"}) {
        fs::create_hard_link(victim, folder / name);
    }
    expect_full_crash("read_null", "an Access Violation", "0xc0000005");
    EXPECT_EQ(read_bytes(victim), "untouched");
}

TEST_F(CrashChild, ReporterThatOthersCouldHaveChangedIsNotStarted) {
    for (const fs::path& changed : {folder / "CrashReport.exe", folder}) {
        SCOPED_TRACE(changed.string());
        const EveryoneMayChange open(changed);
        const child_result result = crash("read_null");
        EXPECT_TRUE(result.exited && result.code == 100) << result.code;
        EXPECT_TRUE(exists("CRASHLOG.TXT"));
        EXPECT_FALSE(exists("REPORTER.TXT"));
    }
    // The same reporter, trusted again, is started.
    expect_full_crash("read_null", "an Access Violation", "0xc0000005");
}

// The program's crash files go to its own folder under %ProgramData%, made for SYSTEM and the
// Administrators; a folder of that name that others may change is not taken.
TEST_F(CrashChild, CrashFilesGoToTheProtectedFolderUnderProgramData) {
    const std::string name = folder.filename().string();
    const fs::path protected_folder = fs::path(_wgetenv(L"ProgramData")) / name;
    fs::remove_all(protected_folder);
    const child_result result = crash("program_data " + name);
    EXPECT_TRUE(result.exited && result.code == 100) << result.code;
    EXPECT_EQ(read_bytes(protected_folder / "CRASH.DMP").substr(0, 4), "MDMP");
    EXPECT_THAT(report_text(read_bytes(protected_folder / "CRASHLOG.TXT")),
                HasSubstr("===== [end of CRASHLOG.TXT] ====="));
    EXPECT_TRUE(fs::exists(protected_folder / "CRASHLOG.DAT"));
    EXPECT_FALSE(exists("CRASHLOG.TXT"));

    fs::remove_all(protected_folder);
    fs::create_directory(protected_folder);
    {
        const EveryoneMayChange open(protected_folder);
        const child_result beside = crash("program_data " + name);
        EXPECT_TRUE(beside.exited && beside.code == 100) << beside.code;
    }
    EXPECT_TRUE(exists("CRASHLOG.TXT"));
    EXPECT_FALSE(fs::exists(protected_folder / "CRASHLOG.TXT"));
    fs::remove_all(protected_folder);
}
#endif
