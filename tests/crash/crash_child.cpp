// Crashes in the way its first argument names, under the crash guard, as the program would.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/DeadLoopDectector.h"
#include "Core_Common/Thread.h"
#include "Core_Common/Utility.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#ifdef _WIN32
#include "Core_Common/win/CrashFolder_win.h"
#include "Core_Common/win/WinApi.h"

#include <stdlib.h>
#define TW_NO_SANITIZE
#else
#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
// The faults must reach the guard as real faults, not as sanitizer reports.
#define TW_NO_SANITIZE __attribute__((no_sanitize("address", "undefined")))
#endif

namespace {

volatile int* volatile null_pointer = nullptr;
volatile int zero = 0;

TW_NO_SANITIZE void read_null() {
    const int value = *null_pointer;
    std::printf("read %d\n", value);
}

TW_NO_SANITIZE void write_null() { *null_pointer = 1; }

TW_NO_SANITIZE void divide_by_zero() {
    const int value = 100 / zero;
    std::printf("quotient %d\n", value);
}

void throw_integer() { throw 7; }

void throw_on_worker() {
    Core_Common::thread_basic worker;
    worker.start(throw_integer, "Crash_Worker", Core_Common::thread_helper::priority_normal);
    worker.join();
}

void throw_in_task() {
    Core_Common::thread_advanced worker;
    worker.start("Crash_Advanced", Core_Common::thread_helper::priority_normal);
    worker.post([] {});
    worker.post(throw_integer);
    worker.post([] { std::puts("task after the throw ran"); });
    worker.join();
}

volatile bool keep_recursing = true;

TW_NO_SANITIZE int recurse(int depth) {
    volatile char block[4096];
    block[0] = static_cast<char>(depth);
    return keep_recursing ? recurse(depth + 1) + block[0] : block[0];
}

void invalid_parameter() {
#ifdef _WIN32
    Core_Common::install_invalid_parameter_handler();
    // Wine's msvcrt.dll never calls the handler: call the installed one as the runtime would.
    const _invalid_parameter_handler handler = _get_invalid_parameter_handler();
    if (handler != nullptr) {
        handler(L"destination != nullptr", L"wcscpy_s", L"wcscpy_s.c", 1, 0);
    }
#endif
}

// A dispatcher that feeds the watchdog once and then blocks: only the watchdog, after its
// 500 ms of silence, can end the process. The bound is a last resort, reached only when the
// watchdog never fires (the test then sees a clean exit instead of a crash).
void watch_blocked_dispatcher() {
    Core_Common::InterfaceTimer::Create();
    Core_Common::DeadLoopDectector detector(0, 500);
    detector.start();
    Core_Common::DispatchPending();
    std::promise<void> never;
    never.get_future().wait_for(std::chrono::minutes(2));
    detector.stop();
    Core_Common::InterfaceTimer::Destroy();
    std::puts("watchdog never fired");
}

// Stops the whole process until the test lets it go on, as a stop signal, a freezer or a
// debugger would.
void pause_whole_process() {
#ifdef _WIN32
    // A process cannot suspend all of its own threads: the test does, after "holding", and
    // sends a line once it has resumed them.
    std::puts("holding");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        std::exit(3);
    }
#else
    raise(SIGSTOP);
#endif
}

// The watch while the whole process is paused for longer than the silence allowed: the
// watchdog must take the pause for no silence. `silence` comes from the test, which pauses the
// process for longer than that.
void watch_through_pause(std::chrono::milliseconds silence) {
    Core_Common::InterfaceTimer::Create();
    Core_Common::DeadLoopDectector detector(0, static_cast<std::int32_t>(silence.count()));
    detector.start();
    const auto feed = [&detector] {
        Core_Common::DispatchPending();
        // The worker runs its tasks in order: once this one has run, it has taken the feed.
        std::promise<void> fed;
        detector.post([&fed] { fed.set_value(); });
        fed.get_future().wait();
    };
    const auto step = silence / Core_Common::thread_advanced::silence_steps;
    feed();
    // One step on, the worker waits in the middle of a silent period: the pause falls into
    // that wait.
    std::this_thread::sleep_for(step);
    pause_whole_process();
    // The dispatcher comes back a step late, so that the watchdog's own wake-up after the pause
    // comes first: a watchdog that counted the pause fires then.
    std::this_thread::sleep_for(step);
    feed();
    detector.stop();
    Core_Common::InterfaceTimer::Destroy();
    std::puts("watchdog stayed quiet");
}

// The crash files go to a folder beside the executable that cannot take them: "missing" does
// not exist, "read_only" (made by the test) may not be written.
void use_unwritable_crash_folder(const std::string& kind) {
    const std::filesystem::path here =
        std::filesystem::path(Core_Common::module_file_path()).parent_path();
    Core_Common::set_crash_directory(
        (here / (kind == "missing" ? "no-such-folder" : "read-only")).wstring());
#ifdef _WIN32
    // The exception goes on to the system: no error box, no debugger.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#else
    // As the service runs: root without the capabilities that override file permissions.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0) {
        std::exit(4);
    }
#endif
}

} // namespace

int main(int argc, char** argv) {
    Core_Common::set_program_display_name(L"Tarnwick ARP Protect 1.0");
    const std::string scenario = argc > 1 ? argv[1] : "";
    // The crash folder's kind, or the watchdog's silence in milliseconds.
    const std::string detail = argc > 2 ? argv[2] : "";
    if (detail == "missing" || detail == "read_only") {
        use_unwritable_crash_folder(detail);
    }
#ifdef _WIN32
    if (scenario == "program_data" && argc > 2) {
        // The protected folder of that name under %ProgramData%, as the program takes it.
        Core_Common::use_protected_crash_folder(
            Core_Common::narrow_to_wide(argv[2], Core_Common::code_page_ansi));
    }
#endif
#ifndef _WIN32
    if (scenario == "full_disk") {
        // Files may grow to 512 bytes only: every longer crash file meets a failing write, as on
        // a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
#endif
    if (scenario == "second_during_report" || scenario == "second_during_overflow_report") {
        // The report reads this text while it is written, and faults a second time.
        Core_Common::set_crash_context(reinterpret_cast<const wchar_t*>(16), nullptr, nullptr, 0);
    }
    Core_Common::RunGuarded([&] {
        if (scenario == "read_null" || scenario == "second_during_report" ||
            scenario == "full_disk" || scenario == "program_data") {
            read_null();
        } else if (scenario == "write_null") {
            write_null();
        } else if (scenario == "divide_by_zero") {
            divide_by_zero();
        } else if (scenario == "throw_main") {
            throw_integer();
        } else if (scenario == "throw_worker") {
            throw_on_worker();
        } else if (scenario == "throw_in_task") {
            throw_in_task();
        } else if (scenario == "stack_overflow" || scenario == "second_during_overflow_report") {
            std::printf("%d\n", recurse(0));
        } else if (scenario == "invalid_parameter") {
            invalid_parameter();
        } else if (scenario == "dead_loop") {
            watch_blocked_dispatcher();
        } else if (scenario == "paused") {
            watch_through_pause(std::chrono::milliseconds(std::atoi(detail.c_str())));
        } else if (scenario == "clean") {
            std::puts("clean");
        }
    });
    return 0;
}
