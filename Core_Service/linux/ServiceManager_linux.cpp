// The control operations' side of systemd: a unit file in the unit directory and systemctl.
#include "Core_Common/Utility.h"
#include "Core_Service/SystemdUnit.h"
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Core_Service {

std::string RunningLockPath(const std::string& runDirectory, const std::wstring& serviceName) {
    const std::string stem = UnitStem(serviceName);
    return runDirectory + "/" + stem + "/" + stem + ".lock";
}

namespace {

// The errno value that stands for a failed systemctl: its exit status where that names a cause
// (systemd's codes, after the LSB ones), else its message; most failures exit with 1.
int systemctl_failure_code(int status, const std::string& message) {
    switch (status) {
    case 2:
        return EINVAL; // invalid argument
    case 3:
        return EOPNOTSUPP; // not implemented (for every verb but is-active)
    case 4:
        return EACCES; // no permission: access denied by the manager
    case 5:
        return ENOENT; // no such unit
    default:
        break;
    }
    for (const char* denied : {"Access denied", "authentication required"}) {
        if (message.find(denied) != std::string::npos) {
            return EACCES;
        }
    }
    return EIO;
}

// What systemctl wrote on standard error, on one line: each line trimmed, joined by a blank.
std::string one_line(const std::string& text) {
    constexpr std::size_t longest = 1000;
    std::string line;
    std::size_t start = 0;
    while (start < text.size() && line.size() < longest) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string part = text.substr(start, end - start);
        while (!part.empty() &&
               (part.back() == '\r' || part.back() == ' ' || part.back() == '\t')) {
            part.pop_back();
        }
        if (!part.empty()) {
            line += line.empty() ? "" : " ";
            line += part;
        }
        start = end + 1;
    }
    return line.substr(0, longest);
}

// Reads both pipes to their ends; either may be closed (-1) from the start.
void read_pipes(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* targets[2] = {&out, &err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[512];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1; // poll skips negative descriptors
            }
        }
    }
}

// Runs systemctl (the first one on PATH) with `arguments`; true when it exits with 0. On
// failure `error` holds an errno value and, as detail, systemctl's exit status and what it said
// on standard error. Its standard output goes to `output` when given.
bool run_systemctl(const std::vector<std::string>& arguments, ServiceError& error,
                   std::string* output = nullptr) {
    std::vector<std::string> words = {"systemctl"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out_fds[2] = {-1, -1};
    int err_fds[2] = {-1, -1};
    const bool piped =
        (output == nullptr || pipe2(out_fds, O_CLOEXEC) == 0) && pipe2(err_fds, O_CLOEXEC) == 0;
    const int pipe_error = errno;
    const ScopedFd out_read(out_fds[0]);
    ScopedFd out_write(out_fds[1]);
    const ScopedFd err_read(err_fds[0]);
    ScopedFd err_write(err_fds[1]);
    if (!piped) {
        error = {static_cast<std::uint32_t>(pipe_error), {}};
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
    // The program ignores SIGPIPE; systemctl starts with the default, as from a shell.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int spawned =
        posix_spawnp(&child, "systemctl", &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = {static_cast<std::uint32_t>(spawned), L"systemctl cannot be run"};
        return false;
    }
    out_write.reset();
    err_write.reset();
    std::string out;
    std::string err;
    read_pipes(out_read.get(), err_read.get(), out, err);
    if (output != nullptr) {
        *output = out;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            error = {static_cast<std::uint32_t>(errno), {}};
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    const std::string message = one_line(err);
    if (!WIFEXITED(status)) {
        error = {EINTR, Core_Common::ansi_to_wide("systemctl ended by signal " +
                                                  std::to_string(WTERMSIG(status)))};
        return false;
    }
    const int exit_status = WEXITSTATUS(status);
    std::string detail = "systemctl exit status " + std::to_string(exit_status);
    if (!message.empty()) {
        detail += ": " + message;
    }
    error = {static_cast<std::uint32_t>(systemctl_failure_code(exit_status, message)),
             Core_Common::ansi_to_wide(detail)};
    return false;
}

bool write_file(const std::string& path, const std::string& text, int flags, int& error) {
    const ScopedFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644));
    if (!fd) {
        error = errno;
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd.get(), text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool read_file(const std::string& path, std::string& text) {
    const ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd.get(), buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

// The service state of systemd's ActiveState; false for a word it does not know.
bool service_state_of(const std::string& word, std::uint32_t& state) {
    if (word == "active" || word == "reloading") {
        state = service_running;
    } else if (word == "activating") {
        state = service_start_pending;
    } else if (word == "deactivating") {
        state = service_stop_pending;
    } else if (word == "inactive" || word == "failed") {
        state = service_stopped;
    } else {
        return false;
    }
    return true;
}

// The unit's state as a service state; false with the cause in `error` when systemctl cannot
// tell.
bool query_unit_state(const std::string& unitName, std::uint32_t& state, ServiceError& error) {
    std::string output;
    ServiceError failed;
    // is-active exits non-zero for every state but "active": the printed state decides.
    run_systemctl({"is-active", unitName}, failed, &output);
    const std::string word = output.substr(0, output.find('\n'));
    if (!service_state_of(word, state)) {
        error = failed.code != 0
                    ? failed
                    : ServiceError{EPROTO, Core_Common::ansi_to_wide(
                                               "systemctl is-active printed \"" + word + "\"")};
        return false;
    }
    return true;
}

// Where systemd has the unit from, as it says itself: the unit may come from any of its unit
// folders (a package's in /lib/systemd/system, /install's in /etc/systemd/system).
struct UnitLoad {
    std::string state;    // LoadState: "loaded", "not-found", "masked", ...
    std::string fragment; // FragmentPath: the unit file, empty when there is none
};

bool show_unit(const std::string& unitName, UnitLoad& load, ServiceError& error) {
    std::string output;
    if (!run_systemctl({"show", "-p", "LoadState", "-p", "FragmentPath", unitName}, error,
                       &output)) {
        return false;
    }
    load = {};
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        const std::string line = output.substr(start, end - start);
        if (line.rfind("LoadState=", 0) == 0) {
            load.state = line.substr(10);
        } else if (line.rfind("FragmentPath=", 0) == 0) {
            load.fragment = line.substr(13);
        }
        start = end + 1;
    }
    if (load.state.empty()) {
        error = {EPROTO,
                 Core_Common::ansi_to_wide("systemctl show printed no LoadState for " + unitName)};
        return false;
    }
    return true;
}

// One property of `systemctl show` output ("Name=value" lines); empty when it is not there.
std::string shown_property(const std::string& output, const std::string& name) {
    const std::string key = name + "=";
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        if (output.compare(start, key.size(), key) == 0) {
            return output.substr(start + key.size(), end - start - key.size());
        }
        start = end + 1;
    }
    return {};
}

class LinuxServiceHandle final : public ServiceHandle {
public:
    LinuxServiceHandle(std::string unitPath, std::string unitName)
        : unit_path_(std::move(unitPath)), unit_name_(std::move(unitName)) {}

    bool QueryState(std::uint32_t& state, ServiceError& error) override {
        return query_unit_state(unit_name_, state, error);
    }

    bool Delete(ServiceError& error) override {
        if (!run_systemctl({"disable", unit_name_}, error)) {
            return false;
        }
        if (unlink(unit_path_.c_str()) != 0) {
            error = {static_cast<std::uint32_t>(errno), {}};
            return false;
        }
        ServiceError ignored;
        run_systemctl({"daemon-reload"}, ignored);
        return true;
    }

    bool Start(ServiceError& error) override {
        std::uint32_t state = 0;
        if (!QueryState(state, error)) {
            return false;
        }
        // As the Service Control Manager refuses to start a service that runs.
        if (state != service_stopped) {
            error = {EALREADY, {}};
            return false;
        }
        // --no-block: ask for the start and return, as a start request does.
        return run_systemctl({"start", "--no-block", unit_name_}, error);
    }

    bool ControlStop(ServiceError& error) override {
        std::uint32_t state = 0;
        if (!QueryState(state, error)) {
            return false;
        }
        // A stop control reaches only a service that runs.
        if (state == service_stopped) {
            error = {ESRCH, {}};
            return false;
        }
        return run_systemctl({"stop", "--no-block", unit_name_}, error);
    }

private:
    std::string unit_path_;
    std::string unit_name_;
};

class LinuxManagerHandle final : public ManagerHandle {
public:
    explicit LinuxManagerHandle(std::string unitDirectory)
        : unit_directory_(std::move(unitDirectory)) {}

    std::unique_ptr<ServiceHandle> CreateServiceEntry(const ServiceDefinition& definition,
                                                      ServiceError& error) override {
        // A unit that systemd would refuse to run is not written at all.
        if (std::wstring refusal = ExecPathRefusal(definition.programPath); !refusal.empty()) {
            error = {EINVAL, std::move(refusal)};
            return nullptr;
        }
        const std::string name = UnitStem(definition.serviceName) + ".service";
        const std::string path = unit_directory_ + "/" + name;
        // A unit of the same name elsewhere (the package's) would be overridden by this one.
        UnitLoad load;
        if (!show_unit(name, load, error)) {
            return nullptr;
        }
        if (load.state != "not-found" && !load.fragment.empty() && load.fragment != path) {
            error = {EEXIST, Core_Common::ansi_to_wide(
                                 name + " is installed already, as " + load.fragment +
                                 " (by a package): use that one, or remove the package first")};
            return nullptr;
        }
        int failed = 0;
        // O_EXCL: an existing unit is a failure, as an existing service is.
        if (!write_file(path, MakeUnitFile(definition), O_CREAT | O_EXCL, failed)) {
            error = {static_cast<std::uint32_t>(failed), {}};
            return nullptr;
        }
        if (!run_systemctl({"daemon-reload"}, error) || !run_systemctl({"enable", name}, error)) {
            unlink(path.c_str());
            ServiceError ignored;
            run_systemctl({"daemon-reload"}, ignored);
            return nullptr;
        }
        return std::make_unique<LinuxServiceHandle>(path, name);
    }

    std::unique_ptr<ServiceHandle> OpenServiceEntry(const std::wstring& serviceName,
                                                    std::uint32_t access,
                                                    ServiceError& error) override {
        const std::string name = UnitStem(serviceName) + ".service";
        UnitLoad load;
        if (!show_unit(name, load, error)) {
            return nullptr;
        }
        if (load.state == "not-found") {
            error = {ENOENT, {}};
            return nullptr;
        }
        // Only the unit /install wrote is /uninstall's to remove; a package's goes with the
        // package, which would otherwise still list it.
        constexpr std::uint32_t access_delete = access_uninstall & ~access_query_status;
        const std::string own = unit_directory_ + "/" + name;
        if ((access & access_delete) != 0 && load.fragment != own) {
            error = {EPERM, Core_Common::ansi_to_wide(
                                name + " was not installed by /install but " +
                                (load.fragment.empty() ? std::string("otherwise")
                                                       : "as " + load.fragment) +
                                " (by a package): remove it with the package manager, for "
                                "example apt remove " +
                                UnitStem(serviceName))};
            return nullptr;
        }
        return std::make_unique<LinuxServiceHandle>(load.fragment, name);
    }

private:
    std::string unit_directory_;
};

} // namespace

LinuxServiceManager::LinuxServiceManager(std::string unitDirectory, std::string runDirectory,
                                         bool checkProgramPlace)
    : unit_directory_(std::move(unitDirectory)), run_directory_(std::move(runDirectory)),
      check_program_place_(checkProgramPlace) {}

std::wstring LinuxServiceManager::ProgramPlaceRefusal(const std::wstring& programPath) {
    if (!check_program_place_) {
        return {};
    }
    // The install runs as root; the service will too.
    const std::wstring place = ReplaceablePlace(
        Core_Common::wide_to_narrow(programPath, Core_Common::code_page_ansi), geteuid());
    if (place.empty()) {
        return {};
    }
    return L"The service is not registered: " + place +
           L", so others could replace the program it would run as root. Install the program "
           L"into a folder only root can change, for example with \"install -m 0755 antiarp "
           L"/usr/local/sbin/antiarp\", or install the package.";
}

std::unique_ptr<ManagerHandle> LinuxServiceManager::OpenManager(std::uint32_t access,
                                                                ServiceError& error) {
    // Creating a service needs a unit directory this process may write.
    const int mode = (access & access_manager_create_service) != 0 ? W_OK | X_OK : X_OK;
    if (::access(unit_directory_.c_str(), mode) != 0) {
        error = {static_cast<std::uint32_t>(errno), Core_Common::ansi_to_wide(unit_directory_)};
        return nullptr;
    }
    return std::make_unique<LinuxManagerHandle>(unit_directory_);
}

bool LinuxServiceManager::WriteDescription(const std::wstring& serviceName,
                                           const std::wstring& description) {
    const std::string path = unit_directory_ + "/" + UnitStem(serviceName) + ".service";
    std::string unit;
    if (!read_file(path, unit)) {
        return false;
    }
    const std::string staged = path + ".new";
    int failed = 0;
    if (!write_file(staged, WriteUnitDescription(unit, description), O_CREAT | O_TRUNC, failed)) {
        unlink(staged.c_str());
        return false;
    }
    if (rename(staged.c_str(), path.c_str()) != 0) {
        unlink(staged.c_str());
        return false;
    }
    ServiceError ignored;
    run_systemctl({"daemon-reload"}, ignored);
    return true;
}

namespace {

using Deadline = std::chrono::steady_clock::time_point;

constexpr auto poll_interval = std::chrono::milliseconds(10);

RunEndWait wait_for_lock(const std::string& path, Deadline deadline, ServiceError& error) {
    const ScopedFd lock(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!lock) {
        const int failed = errno;
        error = {static_cast<std::uint32_t>(failed), {}};
        return failed == ENOENT ? RunEndWait::gone : RunEndWait::cannot_open;
    }
    // flock has no time-out: try, and try again until the deadline.
    for (;;) {
        if (flock(lock.get(), LOCK_SH | LOCK_NB) == 0) {
            flock(lock.get(), LOCK_UN);
            return RunEndWait::ended;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = {static_cast<std::uint32_t>(errno), {}};
            return RunEndWait::cannot_open;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = {ETIMEDOUT, {}};
            return RunEndWait::no_response;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

// The run releases its lock before its process has ended, and a stop asked for during the
// first binding pass finds no lock at all; until the process is gone systemd shows the unit as
// "activating" or "deactivating", and a start asked for then would be refused. A stopped
// unit ends the wait; an unknown state (systemctl cannot tell) does too, for the caller's next
// query to report.
bool wait_for_unit_stopped(const std::string& unitName, Deadline deadline) {
    for (;;) {
        std::uint32_t state = 0;
        ServiceError error;
        if (!query_unit_state(unitName, state, error) || state == service_stopped) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

} // namespace

RunEndWait LinuxServiceManager::WaitForRunEnd(const std::wstring& serviceName,
                                              std::uint32_t timeoutMs, ServiceError& error) {
    const Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    RunEndWait result =
        wait_for_lock(RunningLockPath(run_directory_, serviceName), deadline, error);
    // Only root may open the lock file: a controller without the right waits for the unit's
    // state alone.
    if (result == RunEndWait::cannot_open && error.code == EACCES) {
        result = RunEndWait::gone;
    }
    if (result != RunEndWait::ended && result != RunEndWait::gone) {
        return result;
    }
    if (!wait_for_unit_stopped(UnitStem(serviceName) + ".service", deadline)) {
        error = {ETIMEDOUT, {}};
        return RunEndWait::no_response;
    }
    return result;
}

bool LinuxServiceManager::QueryService(const std::wstring& serviceName, ServiceQuery& query,
                                       ServiceError& error) {
    const std::string name = UnitStem(serviceName) + ".service";
    std::string output;
    if (!run_systemctl({"show", "-p", "LoadState", "-p", "ActiveState", name}, error, &output)) {
        return false;
    }
    const std::string load = shown_property(output, "LoadState");
    const std::string active = shown_property(output, "ActiveState");
    query = {};
    if (load == "not-found") {
        return true;
    }
    if (load.empty() || !service_state_of(active, query.state)) {
        error = {EPROTO, Core_Common::ansi_to_wide("systemctl show printed LoadState=" + load +
                                                   " and ActiveState=" + active + " for " + name)};
        return false;
    }
    query.installed = true;
    return true;
}

ServiceManager& SystemServiceManager() {
    static LinuxServiceManager manager(default_unit_directory, default_run_directory);
    return manager;
}

} // namespace Core_Service
