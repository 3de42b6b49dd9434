// The service process's side of systemd (sd_notify datagrams, SIGTERM as the stop control),
// the running lock and the console signals.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/Utility.h"
#include "Core_Service/SystemdUnit.h"
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Core_Service {
namespace {

// Wake-up bytes besides the signal numbers themselves.
constexpr char wake_service_ended = 'E';
constexpr char wake_controls_changed = 'A';
constexpr char wake_quit = 'Q';
static_assert(wake_service_ended >= NSIG && wake_controls_changed >= NSIG && wake_quit >= NSIG,
              "a wake-up byte is no signal number");

// The write end of the wake-up pipe, for the signal handlers: a lock-free atomic is safe to
// read in a handler, and write() is async-signal-safe.
std::atomic<int> signal_wake_fd = -1;

// Whether a signal's byte waits in the pipe, unread: a burst of one signal costs one byte, so
// the pipe never fills up and the wake-up at the run's end always finds room.
std::atomic<bool> signal_byte_waiting[NSIG];

extern "C" void on_signal(int signal_number) {
    const int saved = errno;
    const int fd = signal_wake_fd.load();
    if (fd >= 0 && !signal_byte_waiting[signal_number].exchange(true)) {
        const char byte = static_cast<char>(signal_number);
        [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
    }
    errno = saved;
}

void catch_signal(int signal_number) {
    struct sigaction action {};
    action.sa_handler = &on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

// After a run: a stop signal has nothing left to stop, and its default action would end the
// process with the signal's status during its last steps. Ignored, never back to the default:
// a burst of stop signals ends a run with exit code 0. (Children get the default again: the
// crash reporter is started with every signal reset.)
void ignore_signal(int signal_number) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

constexpr int console_signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// The console control event each signal stands for.
std::uint32_t console_event(int signal_number) {
    switch (signal_number) {
    case SIGINT:
        return ctrl_c_event;
    case SIGQUIT:
        return ctrl_break_event;
    case SIGHUP:
        return ctrl_close_event;
    default:
        return ctrl_shutdown_event;
    }
}

// Waits for and reads what is in the wake-up pipe. A signal that comes after its byte has
// been read writes a new one.
std::string read_wake_bytes(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, -1) < 0 && errno == EINTR) {
    }
    char buffer[64];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
        return {};
    }
    std::string bytes(buffer, static_cast<std::size_t>(got));
    for (const char byte : bytes) {
        const int signal_number = static_cast<unsigned char>(byte);
        if (signal_number < NSIG) {
            signal_byte_waiting[signal_number] = false;
        }
    }
    return bytes;
}

// An AF_UNIX datagram address from $NOTIFY_SOCKET; '@' names the abstract namespace.
bool notify_address(const std::string& text, sockaddr_un& address, socklen_t& length) {
    address = {};
    address.sun_family = AF_UNIX;
    if (text.empty() || text.size() >= sizeof address.sun_path ||
        (text[0] != '/' && text[0] != '@')) {
        return false;
    }
    std::memcpy(address.sun_path, text.data(), text.size());
    if (text[0] == '@') {
        address.sun_path[0] = '\0';
    }
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size());
    return true;
}

} // namespace

LinuxServiceProcess::LinuxServiceProcess(std::string runDirectory, bool checkProgramPlace)
    : run_directory_(std::move(runDirectory)), check_program_place_(checkProgramPlace) {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_.reset(fds[0]);
        wake_write_.reset(fds[1]);
    }
}

LinuxServiceProcess::~LinuxServiceProcess() {
    for (int signal_number : console_signals) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == &on_signal) {
            ignore_signal(signal_number);
        }
    }
    signal_wake_fd = -1;
    if (console_thread_.joinable()) {
        Wake(wake_quit);
        console_thread_.join();
    }
}

void LinuxServiceProcess::Wake(char reason) {
    [[maybe_unused]] const ssize_t ignored = write(wake_write_.get(), &reason, 1);
}

void LinuxServiceProcess::HoldStopSignals(bool console) {
    if (!wake_read_) {
        return;
    }
    // The signals wait in the wake-up pipe: the service manager's loop or the console thread
    // reads them once the run can be stopped.
    signal_wake_fd = wake_write_.get();
    if (console) {
        for (int signal_number : console_signals) {
            catch_signal(signal_number);
        }
    } else {
        catch_signal(SIGTERM);
    }
}

std::wstring LinuxServiceProcess::ProgramPlaceRefusal() {
    if (!check_program_place_) {
        return {};
    }
    const std::wstring program = Core_Common::module_file_path();
    const std::wstring place = ReplaceablePlace(
        Core_Common::wide_to_narrow(program, Core_Common::code_page_ansi), geteuid());
    if (place.empty()) {
        return {};
    }
    return L"The service does not run " + program + L": " + place +
           L", so others could replace the program. Install it into a folder only root can "
           L"change.";
}

bool LinuxServiceProcess::RunDispatcher(const std::wstring& /*serviceName*/,
                                        ServiceMainEntry serviceMain) {
    // Without a notify socket the process was not started by the service manager.
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    if (socket_name == nullptr || *socket_name == '\0' || !wake_read_) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        notify_address_ = socket_name;
        notify_socket_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        notified_state_ = 0;
    }
    signal_wake_fd = wake_write_.get();
    catch_signal(SIGTERM);

    std::thread service_thread([this, serviceMain] {
        serviceMain(0, nullptr);
        Wake(wake_service_ended);
    });

    // The main thread is the service manager's side: SIGTERM becomes the stop control, held
    // back until the service accepts stop (its exit event exists from then on).
    bool ended = false;
    bool stop_wanted = false;
    while (!ended) {
        for (char byte : read_wake_bytes(wake_read_.get())) {
            if (byte == SIGTERM) {
                stop_wanted = true;
            } else if (byte == wake_service_ended) {
                ended = true;
            }
        }
        ServiceControlEntry entry = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (stop_wanted && (controls_accepted_ & accept_stop) != 0) {
                entry = control_entry_;
            }
        }
        if (entry != nullptr) {
            stop_wanted = false;
            Core_Common::RunGuarded([entry] { entry(control_stop); });
        }
    }
    service_thread.join();
    ignore_signal(SIGTERM);
    signal_wake_fd = -1;
    return true;
}

bool LinuxServiceProcess::RegisterControlHandler(const std::wstring& /*serviceName*/,
                                                 ServiceControlEntry handler) {
    std::lock_guard lock(mutex_);
    control_entry_ = handler;
    return true;
}

bool LinuxServiceProcess::SetStatus(const ServiceStatus& status, std::uint32_t& error) {
    const char* message = nullptr;
    sockaddr_un address{};
    socklen_t length = 0;
    int socket_fd = -1;
    {
        std::lock_guard lock(mutex_);
        controls_accepted_ = status.controlsAccepted;
        // One datagram per state change; a re-sent status tells systemd nothing new.
        if (status.currentState != notified_state_) {
            if (status.currentState == service_running) {
                message = "READY=1";
            } else if (status.currentState == service_stop_pending) {
                message = "STOPPING=1";
            }
            notified_state_ = status.currentState;
        }
        if (message != nullptr && !notify_address(notify_address_, address, length)) {
            error = EINVAL;
            return false;
        }
        socket_fd = notify_socket_.get();
    }
    Wake(wake_controls_changed);
    if (message == nullptr) {
        return true;
    }
    if (sendto(socket_fd, message, std::strlen(message), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), length) < 0) {
        error = static_cast<std::uint32_t>(errno);
        return false;
    }
    return true;
}

void LinuxServiceProcess::CreateExitEvent() {
    std::lock_guard lock(event_mutex_);
    event_exists_ = true;
    event_signalled_ = false;
}

void LinuxServiceProcess::SignalExitEvent() {
    {
        std::lock_guard lock(event_mutex_);
        if (!event_exists_) {
            return;
        }
        event_signalled_ = true;
    }
    event_changed_.notify_all();
}

WaitResult LinuxServiceProcess::WaitExitEvent(std::uint32_t timeoutMs) {
    std::unique_lock lock(event_mutex_);
    if (!event_exists_) {
        return WaitResult::failed;
    }
    return event_changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return event_signalled_; })
               ? WaitResult::signalled
               : WaitResult::timed_out;
}

void LinuxServiceProcess::CloseExitEvent() {
    std::lock_guard lock(event_mutex_);
    event_exists_ = false;
    event_signalled_ = false;
}

bool LinuxServiceProcess::CreateRunningMutex(const std::wstring& serviceName) {
    ScopedFd lock;
    const RunningLock result = TakeRunningLock(RunningLockPath(run_directory_, serviceName), lock);
    lock_owned_ = result == RunningLock::taken;
    lock_file_ = std::move(lock);
    return result != RunningLock::held_elsewhere;
}

void LinuxServiceProcess::ReleaseRunningMutex() {
    // The file stays open.
    if (lock_owned_) {
        flock(lock_file_.get(), LOCK_UN);
        lock_owned_ = false;
    }
}

void LinuxServiceProcess::AddConsoleControlHandler(ConsoleControlEntry handler) {
    {
        std::lock_guard lock(mutex_);
        console_entry_ = handler;
    }
    if (!wake_read_) {
        return;
    }
    if (!console_thread_.joinable()) {
        console_thread_ = std::thread([this] { ConsoleThread(); });
    }
    signal_wake_fd = wake_write_.get();
    for (int signal_number : console_signals) {
        catch_signal(signal_number);
    }
}

bool LinuxServiceProcess::RunTakesConsoleEvents() {
    std::lock_guard lock(event_mutex_);
    return event_exists_ && !event_signalled_;
}

void LinuxServiceProcess::ConsoleThread() {
    for (;;) {
        for (char byte : read_wake_bytes(wake_read_.get())) {
            if (byte == wake_quit) {
                return;
            }
            // Only a run that has not been told to stop takes an event: later ones (a burst of
            // signals) would reach a dispatcher that may be gone by then.
            if (!RunTakesConsoleEvents()) {
                continue;
            }
            ConsoleControlEntry entry = nullptr;
            {
                std::lock_guard lock(mutex_);
                entry = console_entry_;
            }
            const int signal_number = static_cast<unsigned char>(byte);
            const bool console_signal = signal_number == SIGINT || signal_number == SIGQUIT ||
                                        signal_number == SIGHUP || signal_number == SIGTERM;
            if (entry != nullptr && console_signal) {
                Core_Common::RunGuarded(
                    [entry, signal_number] { entry(console_event(signal_number)); });
            }
        }
    }
}

ServiceProcess& SystemServiceProcess() {
    static LinuxServiceProcess process(default_run_directory);
    return process;
}

} // namespace Core_Service
