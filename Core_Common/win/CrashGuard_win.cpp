// The crash guard on Windows. GCC has no __try/__except: faults reach the process's
// unhandled-exception filter, and an uncaught C++ exception reaches the terminate handler,
// which this compiler's runtime calls at the throw point, before any unwinding, so the
// throwing thread's context can still be captured there.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/CrashReport.h"
#include "Core_Common/CrashSettings.h"
#include "Core_Common/Log.h"
#include "Core_Common/win/LibraryLoading_win.h"
#include "Core_Common/win/ObjectSecurity_win.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"

#include <dbghelp.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <vector>

namespace Core_Common {
namespace {

using namespace crash_report;

using scoped_file = ScopedFileHandle;
using scoped_library = ScopedLibrary;
using scoped_thread = ScopedKernelHandle;

constexpr SIZE_T report_stack_bytes = SIZE_T{1} << 20;

// The executable's path as the report names it; "Unknown" when it cannot be read.
constexpr DWORD executable_path_limit = 518;
using path_text = fixed_text<executable_path_limit + 80>;

std::atomic<bool> report_allowed{true};
// The thread writing the report, once its minidump is done; 0 otherwise.
std::atomic<DWORD> reporting_thread{0};
// Static: its 256 KiB are too much for the stack of a failing thread.
report_writer writer;
std::terminate_handler previous_terminate = nullptr;

template <class Function> Function library_function(HMODULE library, const char* name) {
    // Through a generic function pointer: GCC warns on a direct cast between function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

class file_sink final : public report_sink {
public:
    explicit file_sink(HANDLE file) : file_(file) {}

    void write_units(const wchar_t* units, std::size_t count) override {
        // wchar_t is UTF-16 here: the units are the file's little-endian bytes as they are.
        DWORD written = 0;
        WriteFile(file_, units, static_cast<DWORD>(count * sizeof(wchar_t)), &written, nullptr);
    }

private:
    HANDLE file_;
};

// Each crash file is made anew: whatever has its name goes first (a link itself, never what it
// leads to), and the file is never one that someone put there meanwhile, nor opened through a
// link.
scoped_file create_crash_file(const wchar_t* path) {
    DeleteFileW(path);
    return scoped_file(CreateFileW(
        path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

path_text executable_path() {
    wchar_t path[executable_path_limit + 1] = {};
    if (GetModuleFileNameW(nullptr, path, executable_path_limit) == 0) {
        return path_text(L"Unknown");
    }
    return path_text(path);
}

path_text crash_file_path(const path_text& executable, const wchar_t* fileName) {
    const wchar_t* folder = crash_settings::directory();
    if (*folder == L'\0') {
        return replace_file_name<path_text::capacity() + 1>(executable.c_str(), L'\\', fileName);
    }
    path_text path(folder);
    const wchar_t last = path.c_str()[path.size() - 1];
    if (last != L'\\' && last != L'/') {
        path.append(L"\\");
    }
    path.append(fileName);
    return path;
}

void write_minidump(HANDLE file, EXCEPTION_POINTERS* info, DWORD failingThread) {
    OutputDebugStringW(L"writing minidump\r\n");
    const scoped_library dbghelp(load_system_library(L"dbghelp.dll"));
    if (!dbghelp.valid()) {
        return;
    }
    using write_dump_function =
        BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                      PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
    const auto write_dump =
        library_function<write_dump_function>(dbghelp.get(), "MiniDumpWriteDump");
    if (write_dump == nullptr) {
        return;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = failingThread;
    exception.ExceptionPointers = info;
    exception.ClientPointers = FALSE;
    write_dump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
               nullptr, nullptr);
}

void write_log_data_file(const path_text& executable) {
    const path_text path = crash_file_path(executable, log_data_file_name);
    const scoped_file file = create_crash_file(path.c_str());
    if (!file.valid()) {
        OutputDebugStringW(L"Error creating SysLog.dat\r\n");
        return;
    }
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    std::uint32_t firstLength = 0;
    std::uint32_t secondLength = 0;
    GetMemoryLog(first, firstLength, second, secondLength);
    DWORD written = 0;
    if (first != nullptr && firstLength > 0) {
        WriteFile(file.get(), first, firstLength, &written, nullptr);
    }
    if (second != nullptr && secondLength > 0) {
        WriteFile(file.get(), second, secondLength, &written, nullptr);
    }
}

std::uintptr_t instruction_pointer(const CONTEXT& context) {
#if defined(__i386__)
    return context.Eip;
#else
    return context.Rip;
#endif
}

void fill_registers(const CONTEXT& context, register_values& registers) {
    std::uint64_t* v = registers.values;
#if defined(__i386__)
    registers.layout = register_layout::i386;
    const DWORD values[] = {context.Edi,   context.Esi,    context.Eax, context.Ebx,
                            context.Ecx,   context.Edx,    context.Eip, context.Ebp,
                            context.SegCs, context.EFlags, context.Esp, context.SegSs};
#else
    registers.layout = register_layout::x86_64;
    const DWORD64 values[] = {context.Rdi,   context.Rsi,    context.Rax, context.Rbx,
                              context.Rcx,   context.Rdx,    context.Rip, context.Rbp,
                              context.SegCs, context.EFlags, context.Rsp, context.SegSs,
                              context.R8,    context.R9,     context.R10, context.R11,
                              context.R12,   context.R13,    context.R14, context.R15};
#endif
    for (std::size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        v[i] = values[i];
    }
}

calendar_time local_time_now() {
    SYSTEMTIME system{};
    GetSystemTime(&system);
    FILETIME universal{};
    FILETIME local{};
    WORD dosDate = 0;
    WORD dosTime = 0;
    calendar_time time;
    if (SystemTimeToFileTime(&system, &universal) == 0 ||
        FileTimeToLocalFileTime(&universal, &local) == 0 ||
        FileTimeToDosDateTime(&local, &dosDate, &dosTime) == 0) {
        return time;
    }
    time.known = true;
    time.day = dosDate & 0x1F;
    time.month = (dosDate >> 5) & 0x0F;
    time.year = 1980 + (dosDate >> 9);
    time.second = (dosTime & 0x1F) * 2;
    time.minute = (dosTime >> 5) & 0x3F;
    time.hour = dosTime >> 11;
    return time;
}

std::uint64_t file_time_value(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool process_seconds(std::uint64_t& seconds) {
    const scoped_library kernel32(LoadLibraryW(L"Kernel32.dll"));
    if (!kernel32.valid()) {
        return false;
    }
    using process_times_function =
        BOOL(WINAPI*)(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME, LPFILETIME);
    const auto process_times =
        library_function<process_times_function>(kernel32.get(), "GetProcessTimes");
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (process_times == nullptr ||
        process_times(GetCurrentProcess(), &creation, &exit, &kernel, &user) == 0) {
        return false;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t start = file_time_value(creation);
    const std::uint64_t current = file_time_value(now);
    seconds = current > start ? (current - start) / 10000000u : 0;
    return true;
}

// Whether the reporter beside the executable may be started: a file that no one but SYSTEM, the
// Administrators, TrustedInstaller and this process's own account can change or replace, nor
// its folder and the folders above. Judged once, when the guard is installed: in such a folder
// no one else can change it later, and a crashing process is no place to read descriptors.
std::atomic<bool> reporter_trusted{false};

void judge_reporter() {
    const path_text reporter = replace_file_name<path_text::capacity() + 1>(
        executable_path().c_str(), L'\\', L"CrashReport.exe");
    const DWORD attributes = GetFileAttributesW(reporter.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    std::vector<ObjectSecurity> chain;
    std::uint32_t error = 0;
    reporter_trusted =
        read_path_chain(reporter.c_str(), chain, error) &&
        first_exposure(chain, false, Trust::system_accounts_and_process_user).exposure ==
            Exposure::none;
}

void start_reporter(const path_text& executable) {
    if (!reporter_trusted) {
        return;
    }
    const path_text reporter =
        replace_file_name<path_text::capacity() + 1>(executable.c_str(), L'\\', L"CrashReport.exe");
    auto commandLine = reporter_command_line<path_text::capacity() + 300>(
        reporter.c_str(), crash_settings::display_name(),
        file_name_part(executable.c_str(), L'\\'));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process{};
    // The application name is given as well, so a blank in the folder's path cannot make the
    // system start another program.
    if (CreateProcessW(reporter.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &process) != 0) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Writes the report for an exception of the failing thread. Its frame is large: it is never
// inlined into write_crash_report, whose own frame must fit in what a stack overflow leaves.
[[gnu::noinline]] LONG write_report(EXCEPTION_POINTERS* info, const wchar_t* where,
                                    DWORD failingThread) {
    // From here on the report is this module's own code, the minidump included: an exception
    // in it ends the process.
    reporting_thread = GetCurrentThreadId();
    const path_text executable = executable_path();
    const wchar_t* executableFile = file_name_part(executable.c_str(), L'\\');
    const auto executableName = strip_extension<path_text::capacity() + 1>(executableFile);

    {
        const path_text dumpPath = crash_file_path(executable, dump_file_name);
        const scoped_file dump = create_crash_file(dumpPath.c_str());
        if (dump.valid()) {
            write_minidump(dump.get(), info, failingThread);
        }
    }

    const path_text reportPath = crash_file_path(executable, report_file_name);
    scoped_file report = create_crash_file(reportPath.c_str());
    if (!report.valid()) {
        OutputDebugStringW(L"Error creating exception report\r\n");
        return EXCEPTION_CONTINUE_SEARCH;
    }
    SetFilePointer(report.get(), 0, nullptr, FILE_END);

    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    const CONTEXT& context = *info->ContextRecord;
    const std::uintptr_t ip = instruction_pointer(context);

    crash_facts facts;
    facts.executable_name = executableName.c_str();
    facts.executable_path = executable.c_str();
    facts.where = where;
    facts.code = record.ExceptionCode;
    facts.code_segment = context.SegCs;
    facts.instruction_pointer = ip;
    facts.address_digits = sizeof(void*) * 2;

    wchar_t modulePath[MAX_PATH + 1] = {};
    MEMORY_BASIC_INFORMATION region{};
    facts.module_name = L"Unknown";
    if (VirtualQuery(reinterpret_cast<const void*>(ip), &region, sizeof region) != 0 &&
        GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), modulePath, MAX_PATH) > 0) {
        facts.module_name = file_name_part(modulePath, L'\\');
    }

    facts.time = local_time_now();
    wchar_t user[198] = {};
    DWORD userLength = 198;
    facts.user_name = GetUserNameW(user, &userLength) != 0 ? user : L"Unknown";

    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    windows_version_names names;
    if (GetVersionExW(&version) != 0) {
        names = windows_version_text({version.dwPlatformId, version.dwMajorVersion,
                                      version.dwMinorVersion, version.dwBuildNumber});
    } else {
        names.name.append(L"unknown Windows version");
    }
    facts.os_name = names.name.c_str();
    facts.os_version = names.version.c_str();

    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    facts.processor_count = static_cast<std::int32_t>(system.dwNumberOfProcessors);
    facts.processor_type = static_cast<std::int32_t>(system.dwProcessorType);

    MEMORYSTATUS memory{};
    memory.dwLength = sizeof memory;
    GlobalMemoryStatus(&memory);
    facts.memory_load = memory.dwMemoryLoad;
    facts.total_physical = memory.dwTotalPhys;
    facts.available_physical = memory.dwAvailPhys;
    facts.total_page_file = memory.dwTotalPageFile;
    facts.available_page_file = memory.dwAvailPageFile;
    facts.total_virtual = memory.dwTotalVirtual;
    facts.available_virtual = memory.dwAvailVirtual;

    facts.process_time_known = process_seconds(facts.process_seconds);

    take_crash_context(facts);

    facts.parameter_count = record.NumberParameters;
    for (std::size_t i = 0; i < 2 && i < record.NumberParameters; ++i) {
        facts.parameters[i] = record.ExceptionInformation[i];
    }
    fill_registers(context, facts.registers);
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint8_t byte = 0;
        SIZE_T read = 0;
        const bool ok =
            ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(ip + i), &byte, 1,
                              &read) != 0 &&
            read == 1;
        facts.code_bytes[i] = ok ? byte : unreadable_byte;
    }

    file_sink sink(report.get());
    writer.attach(sink);
    write_report_body(writer, facts);
    write_log_data_file(executable);
    write_report_end(writer);
    writer.flush();
    // The report file closes here, before the reporter starts to read it.
    report.reset();

    start_reporter(executable);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct report_job {
    EXCEPTION_POINTERS* info;
    const wchar_t* where;
    DWORD failing_thread;
    LONG result;
};

DWORD WINAPI report_thread_entry(void* parameter) {
    auto& job = *static_cast<report_job*>(parameter);
    job.result = write_report(job.info, job.where, job.failing_thread);
    return 0;
}

LONG write_crash_report(EXCEPTION_POINTERS* info, const wchar_t* where) {
    if (!report_allowed.exchange(false)) {
        TerminateProcess(GetCurrentProcess(), crash_exit_code);
    }
    const DWORD failingThread = GetCurrentThreadId();
    if (info->ExceptionRecord->ExceptionCode == code_stack_overflow) {
        // What is left of the failing thread's stack holds no report: a thread with a stack of
        // its own writes it, while this one waits with its exception record and context.
        report_job job{info, where, failingThread, EXCEPTION_CONTINUE_SEARCH};
        const scoped_thread reporter(
            CreateThread(nullptr, report_stack_bytes, report_thread_entry, &job, 0, nullptr));
        if (reporter.valid()) {
            WaitForSingleObject(reporter.get(), INFINITE);
            return job.result;
        }
    }
    return write_report(info, where, failingThread);
}

// The system does not filter an exception raised inside the unhandled-exception filter again:
// without this, a fault while the report is written would end the process with its own code.
LONG WINAPI nested_exception_handler(EXCEPTION_POINTERS* info) {
    constexpr DWORD error_severity = 0xC0000000u;
    if (reporting_thread.load() == GetCurrentThreadId() &&
        (info->ExceptionRecord->ExceptionCode & error_severity) == error_severity) {
        TerminateProcess(GetCurrentProcess(), crash_exit_code);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI unhandled_exception_filter(EXCEPTION_POINTERS* info) {
    const LONG result = write_crash_report(info, L"");
    if (result == EXCEPTION_EXECUTE_HANDLER) {
        TerminateProcess(GetCurrentProcess(), crash_exit_code);
    }
    return result;
}

// The calling function's registers. On i386 they are read directly: Wine's RtlCaptureContext
// there returns a context near the thread's start instead of the caller's.
[[gnu::always_inline]] inline void capture_context(CONTEXT& context) {
#if defined(__i386__)
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
    DWORD eip = 0;
    DWORD eflags = 0;
    DWORD segments[6] = {};
    asm volatile("call 1f\n1: popl %0" : "=r"(eip));
    asm volatile("pushfl\n\tpopl %0" : "=r"(eflags));
    asm volatile("movl %%edi, %0\n\tmovl %%esi, %1\n\tmovl %%ebx, %2\n\tmovl %%ebp, %3\n\t"
                 "movl %%esp, %4"
                 : "=m"(context.Edi), "=m"(context.Esi), "=m"(context.Ebx), "=m"(context.Ebp),
                   "=m"(context.Esp));
    asm volatile("movl %%cs, %0\n\tmovl %%ss, %1\n\tmovl %%ds, %2\n\tmovl %%es, %3\n\t"
                 "movl %%fs, %4\n\tmovl %%gs, %5"
                 : "=r"(segments[0]), "=r"(segments[1]), "=r"(segments[2]), "=r"(segments[3]),
                   "=r"(segments[4]), "=r"(segments[5]));
    context.Eip = eip;
    context.EFlags = eflags;
    context.SegCs = segments[0] & 0xFFFFu;
    context.SegSs = segments[1] & 0xFFFFu;
    context.SegDs = segments[2] & 0xFFFFu;
    context.SegEs = segments[3] & 0xFFFFu;
    context.SegFs = segments[4] & 0xFFFFu;
    context.SegGs = segments[5] & 0xFFFFu;
#else
    context.ContextFlags = CONTEXT_FULL;
    RtlCaptureContext(&context);
#endif
}

[[noreturn]] void terminate_handler() {
    CONTEXT context{};
    capture_context(context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code_cpp_exception;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(instruction_pointer(context));
    EXCEPTION_POINTERS pointers{&record, &context};
    if (write_crash_report(&pointers, L"") == EXCEPTION_EXECUTE_HANDLER) {
        TerminateProcess(GetCurrentProcess(), crash_exit_code);
    }
    // No report could be written: the exception ends the process in the runtime's own way.
    if (previous_terminate != nullptr) {
        previous_terminate();
    }
    std::abort();
}

void install_guard() {
    judge_reporter();
    AddVectoredExceptionHandler(1, nested_exception_handler);
    SetUnhandledExceptionFilter(unhandled_exception_filter);
    previous_terminate = std::set_terminate(terminate_handler);
}

void __cdecl invalid_parameter(const wchar_t* /*expression*/, const wchar_t* /*function*/,
                               const wchar_t* /*file*/, unsigned /*line*/,
                               std::uintptr_t /*reserved*/) {
    throw 0;
}

} // namespace

void RunGuarded(const std::function<void()>& body) {
    static const bool installed = (install_guard(), true);
    (void)installed;
    body();
}

void install_invalid_parameter_handler() {
    // MinGW's import library keeps a handler of its own (old msvcrt.dll has none); the DLL's
    // own, where it exports one (Windows Vista and later), is set as well.
    _set_invalid_parameter_handler(invalid_parameter);
    if (const HMODULE runtime = GetModuleHandleW(L"msvcrt.dll")) {
        using set_handler_function =
            _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
        if (const auto set_handler =
                library_function<set_handler_function>(runtime, "_set_invalid_parameter_handler")) {
            set_handler(invalid_parameter);
        }
    }
}

namespace crash_settings {

void settings_changed() {}

} // namespace crash_settings

} // namespace Core_Common
