// The crash guard on Linux: the handlers and their installation. Faults arrive as signals,
// handled on an alternate stack; an uncaught C++ exception reaches the terminate handler at its
// throw point, before any unwinding. Everything reachable from the handlers is
// async-signal-safe: fixed buffers, system calls, no allocation, no stdio, no locks. A crash
// that reaches a handler ends the process with the crash exit code, whether its files could be
// written or not.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/CrashReport.h"
#include "Core_Common/CrashSettings.h"
#include "Core_Common/Log.h"
#include "Core_Common/linux/CrashDump_linux.h"
#include "Core_Common/linux/CrashFacts_linux.h"
#include "Core_Common/linux/CrashFile_linux.h"
#include "Core_Common/linux/CrashReporter_linux.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace Core_Common {
namespace {

using namespace crash_report;

constexpr int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t alternate_stack_bytes = std::size_t{256} << 10;

// Cleared by the first crash: one report per process.
std::atomic<bool> report_allowed{true};

// The facts the handlers read, published whole: a change of the settings builds new facts and
// swaps the pointer, so a handler sees either the old facts or the new ones, never a mixture.
// A handler reads the pointer only after it has cleared report_allowed, and a publisher frees
// the facts it replaced only while report_allowed is still set; with both orders sequentially
// consistent, a handler never reads freed facts.
std::atomic<const prepared_facts*> published_facts{nullptr};
static_assert(std::atomic<const prepared_facts*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
// Orders the publishers among themselves; the handlers never take it.
std::mutex publish_mutex;

report_writer writer;

void publish_facts() {
    std::unique_ptr<prepared_facts> fresh = prepare_facts();
    const std::lock_guard lock(publish_mutex);
    const prepared_facts* replaced = published_facts.exchange(fresh.release());
    if (report_allowed.load()) {
        delete replaced;
    }
}

void write_log_data_file(const prepared_facts& prepared) {
    crash_file file(prepared.data_path.c_str());
    if (!file.valid()) {
        debug_output("Error creating SysLog.dat\n");
        return;
    }
    const std::uint8_t* first = nullptr;
    const std::uint8_t* second = nullptr;
    std::uint32_t firstLength = 0;
    std::uint32_t secondLength = 0;
    GetMemoryLog(first, firstLength, second, secondLength);
    if (first != nullptr) {
        file.write(reinterpret_cast<const char*>(first), firstLength);
    }
    if (second != nullptr) {
        file.write(reinterpret_cast<const char*>(second), secondLength);
    }
    file.finish("Error writing SysLog.dat\n");
}

// The dump, the report with the log data file, then the reporter. Without a report file (its
// folder is missing or read-only) only the dump, if that could be made, remains.
void write_crash_report(const prepared_facts& prepared, const crash_event& event,
                        const wchar_t* where) {
    const maps_summary maps =
        summarize_maps(instruction_pointer(*event.context), stack_pointer(*event.context));
    {
        crash_file dump(prepared.dump_path.c_str());
        if (dump.valid()) {
            write_dump(dump, event, maps);
            dump.finish("Error writing crash dump\n");
        }
    }

    crash_file report(prepared.report_path.c_str());
    if (!report.valid()) {
        debug_output("Error creating exception report\n");
        return;
    }
    lseek(report.get(), 0, SEEK_END);

    fact_texts texts;
    crash_facts facts;
    gather_facts(prepared, event, maps, texts, facts);
    facts.where = where;

    utf8_file_sink sink(report);
    writer.attach(sink);
    write_report_body(writer, facts);
    write_log_data_file(prepared);
    write_report_end(writer);
    writer.flush();
    report.finish("Error writing exception report\n");

    start_reporter(prepared);
}

// The one way a crash leaves a handler. A second crash, on any thread, ends the process at
// once: the first one's report is under way.
[[noreturn]] void report_and_exit(const crash_event& event) {
    if (report_allowed.exchange(false)) {
        if (const prepared_facts* prepared = published_facts.load()) {
            write_crash_report(*prepared, event, L"");
        }
    }
    _exit(crash_exit_code);
}

crash_event classify_signal(int signal, const siginfo_t& info, const ucontext_t& context) {
    crash_event event;
    event.signal = signal;
    event.signal_code = info.si_code;
    event.fault_address = reinterpret_cast<std::uintptr_t>(info.si_addr);
    event.context = &context;
    switch (signal) {
    case SIGSEGV: {
        const std::uintptr_t sp = stack_pointer(context);
        const std::uintptr_t address = event.fault_address;
        const std::uintptr_t distance = address > sp ? address - sp : sp - address;
        if (sp != 0 && distance <= 65536 && info.si_code > 0) {
            // A fault right at the stack pointer: the stack ran out.
            event.code = code_stack_overflow;
            break;
        }
        event.code = code_access_violation;
#if defined(__x86_64__)
        // Bit 1 of the page-fault error code tells a write.
        event.parameter_count = 2;
        event.parameters[0] = (context.uc_mcontext.gregs[REG_ERR] & 2) != 0 ? 1 : 0;
        event.parameters[1] = address;
#endif
        break;
    }
    case SIGBUS:
        event.code = info.si_code == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
        break;
    case SIGFPE:
        switch (info.si_code) {
        case FPE_INTDIV:
            event.code = 0xC0000094u;
            break;
        case FPE_INTOVF:
            event.code = 0xC0000095u;
            break;
        case FPE_FLTDIV:
            event.code = 0xC000008Eu;
            break;
        case FPE_FLTOVF:
            event.code = 0xC0000091u;
            break;
        case FPE_FLTUND:
            event.code = 0xC0000093u;
            break;
        case FPE_FLTRES:
            event.code = 0xC000008Fu;
            break;
        case FPE_FLTSUB:
            event.code = 0xC000008Cu;
            break;
        default:
            event.code = 0xC0000090u;
            break;
        }
        break;
    case SIGILL:
        event.code =
            info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? 0xC0000096u : 0xC000001Du;
        break;
    default:
        event.code = static_cast<std::uint32_t>(signal);
        break;
    }
    return event;
}

void fault_handler(int signal, siginfo_t* info, void* rawContext) {
    report_and_exit(classify_signal(signal, *info, *static_cast<const ucontext_t*>(rawContext)));
}

[[noreturn]] void terminate_handler() {
    ucontext_t context{};
    getcontext(&context);
    crash_event event;
    event.code = code_cpp_exception;
    event.context = &context;
    report_and_exit(event);
}

void install_guard() {
    // Before the handlers: from their first moment they find facts to read.
    publish_facts();
    struct sigaction action {};
    action.sa_sigaction = fault_handler;
    // SA_NODEFER: a fault inside the handler enters it again and ends the process at once.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : fault_signals) {
        sigaction(signal, &action, nullptr);
    }
    std::set_terminate(terminate_handler);
}

// The calling thread's alternate signal stack for the length of a guarded call, so that a
// stack overflow can still be reported. The previous one comes back afterwards. Its pages are
// mapped untouched: they cost memory only once a handler runs on them.
class alternate_stack {
public:
    alternate_stack()
        : memory_(mmap(nullptr, alternate_stack_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0)) {
        if (memory_ == MAP_FAILED) {
            return;
        }
        stack_t stack{};
        stack.ss_sp = memory_;
        stack.ss_size = alternate_stack_bytes;
        installed_ = sigaltstack(&stack, &previous_) == 0;
    }
    ~alternate_stack() {
        if (installed_) {
            if ((previous_.ss_flags & SS_DISABLE) != 0) {
                previous_.ss_sp = nullptr;
                previous_.ss_size = 0;
            }
            sigaltstack(&previous_, nullptr);
        }
        if (memory_ != MAP_FAILED) {
            munmap(memory_, alternate_stack_bytes);
        }
    }
    alternate_stack(const alternate_stack&) = delete;
    alternate_stack& operator=(const alternate_stack&) = delete;

private:
    void* memory_;
    stack_t previous_{};
    bool installed_ = false;
};

} // namespace

void RunGuarded(const std::function<void()>& body) {
    static const bool installed = (install_guard(), true);
    (void)installed;
    const alternate_stack stack;
    body();
}

void install_invalid_parameter_handler() {}

namespace crash_settings {

void settings_changed() { publish_facts(); }

} // namespace crash_settings

} // namespace Core_Common
