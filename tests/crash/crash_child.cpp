// Crashes in the way its first argument names, under the crash guard, as the program would.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/DeadLoopDectector.h"
#include "Core_Common/Thread.h"
#include "Core_Common/Utility.h"

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
#include <sys/resource.h>
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

// The watchdog with short periods: a tick on every dispatch pass, 500 ms of silence allowed.
// A dispatcher that keeps running for a while ends cleanly; a blocked one is reported.
void watch_dispatcher(bool blocked) {
    Core_Common::InterfaceTimer::Create();
    Core_Common::DeadLoopDectector detector(0, 500);
    detector.start();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
        Core_Common::DispatchPending();
        if (blocked) {
            std::this_thread::sleep_for(std::chrono::seconds(30));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    detector.stop();
    Core_Common::InterfaceTimer::Destroy();
    std::puts("watchdog stayed quiet");
}

// The watch while the whole process is paused from outside for three times the silence
// allowed (the test stops it): the dispatcher holds still from "holding" until the test, a
// moment after the pause, sends a line; then it dispatches for one more second and ends
// cleanly. The watchdog must take the pause for no silence.
void watch_through_pause() {
    Core_Common::InterfaceTimer::Create();
    Core_Common::DeadLoopDectector detector(0, 1000);
    detector.start();
    Core_Common::DispatchPending();
    // The watchdog has taken its feed and, a moment later, waits: the pause falls into its
    // wait.
    std::promise<void> fed;
    detector.post([&fed] { fed.set_value(); });
    fed.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::puts("holding");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        std::exit(3);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) {
        Core_Common::DispatchPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    detector.stop();
    Core_Common::InterfaceTimer::Destroy();
    std::puts("watchdog stayed quiet");
}

} // namespace

int main(int argc, char** argv) {
    Core_Common::set_program_display_name(L"Tarnwick ARP Protect 1.0");
    const std::string scenario = argc > 1 ? argv[1] : "";
    if (scenario == "unwritable") {
        // A folder that does not exist: no report file can be created there.
        const std::filesystem::path folder =
            std::filesystem::path(Core_Common::module_file_path()).parent_path() / "no-such-folder";
        Core_Common::set_crash_directory(folder.wstring());
#ifdef _WIN32
        // The exception goes on to the system: no error box, no debugger.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
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
        if (scenario == "read_null" || scenario == "unwritable" ||
            scenario == "second_during_report" || scenario == "full_disk" ||
            scenario == "program_data") {
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
            watch_dispatcher(true);
        } else if (scenario == "dispatcher_runs") {
            watch_dispatcher(false);
        } else if (scenario == "paused") {
            watch_through_pause();
        } else if (scenario == "clean") {
            std::puts("clean");
        }
    });
    return 0;
}
