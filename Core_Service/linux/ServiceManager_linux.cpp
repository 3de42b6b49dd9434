// The control operations' side of systemd: a unit file in the unit directory and systemctl.
#include "Core_Common/Utility.h"
#include "Core_Service/SystemdUnit.h"
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// systemctl's exit status for a unit it does not know.
constexpr int systemctl_no_such_unit = 5;

// Runs systemctl (the first one on PATH) with `arguments`; returns 0, or an errno value when it
// cannot run or fails. Its standard output goes to `output` when given.
int run_systemctl(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    std::vector<std::string> words = {"systemctl"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int pipe_fds[2] = {-1, -1};
    if (output != nullptr && pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return errno;
    }
    const ScopedFd read_end(pipe_fds[0]);
    ScopedFd write_end(pipe_fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    }
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return spawned;
    }
    write_end.reset();
    if (output != nullptr) {
        char buffer[256];
        ssize_t got = 0;
        while ((got = read(read_end.get(), buffer, sizeof buffer)) != 0) {
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            output->append(buffer, static_cast<std::size_t>(got));
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (!WIFEXITED(status)) {
        return EINTR;
    }
    switch (WEXITSTATUS(status)) {
    case 0:
        return 0;
    case systemctl_no_such_unit:
        return ENOENT;
    default:
        return EIO;
    }
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

// The unit's state as a service state; false with an errno value in `error` when systemctl
// cannot tell.
bool query_unit_state(const std::string& unitName, std::uint32_t& state, std::uint32_t& error) {
    std::string output;
    const int failed = run_systemctl({"is-active", unitName}, &output);
    // is-active exits non-zero for every state but "active": the printed state decides.
    const std::string word = output.substr(0, output.find('\n'));
    if (word == "active" || word == "reloading") {
        state = service_running;
    } else if (word == "activating") {
        state = service_start_pending;
    } else if (word == "deactivating") {
        state = service_stop_pending;
    } else if (word == "inactive" || word == "failed") {
        state = service_stopped;
    } else {
        error = static_cast<std::uint32_t>(failed != 0 ? failed : EPROTO);
        return false;
    }
    return true;
}

class LinuxServiceHandle final : public ServiceHandle {
public:
    LinuxServiceHandle(std::string unitPath, std::string unitName)
        : unit_path_(std::move(unitPath)), unit_name_(std::move(unitName)) {}

    bool QueryState(std::uint32_t& state, std::uint32_t& error) override {
        return query_unit_state(unit_name_, state, error);
    }

    bool Delete(std::uint32_t& error) override {
        if (const int failed = run_systemctl({"disable", unit_name_}); failed != 0) {
            error = static_cast<std::uint32_t>(failed);
            return false;
        }
        if (unlink(unit_path_.c_str()) != 0) {
            error = static_cast<std::uint32_t>(errno);
            return false;
        }
        run_systemctl({"daemon-reload"});
        return true;
    }

    bool Start(std::uint32_t& error) override {
        std::uint32_t state = 0;
        if (!QueryState(state, error)) {
            return false;
        }
        // As the Service Control Manager refuses to start a service that runs.
        if (state != service_stopped) {
            error = EALREADY;
            return false;
        }
        // --no-block: ask for the start and return, as a start request does.
        return succeeded(run_systemctl({"start", "--no-block", unit_name_}), error);
    }

    bool ControlStop(std::uint32_t& error) override {
        std::uint32_t state = 0;
        if (!QueryState(state, error)) {
            return false;
        }
        // A stop control reaches only a service that runs.
        if (state == service_stopped) {
            error = ESRCH;
            return false;
        }
        return succeeded(run_systemctl({"stop", "--no-block", unit_name_}), error);
    }

private:
    static bool succeeded(int failed, std::uint32_t& error) {
        if (failed != 0) {
            error = static_cast<std::uint32_t>(failed);
            return false;
        }
        return true;
    }

    std::string unit_path_;
    std::string unit_name_;
};

class LinuxManagerHandle final : public ManagerHandle {
public:
    explicit LinuxManagerHandle(std::string unitDirectory)
        : unit_directory_(std::move(unitDirectory)) {}

    std::unique_ptr<ServiceHandle> CreateServiceEntry(const ServiceDefinition& definition,
                                                      std::uint32_t& error) override {
        const std::string name = UnitStem(definition.serviceName) + ".service";
        const std::string path = unit_directory_ + "/" + name;
        int failed = 0;
        // O_EXCL: an existing unit is a failure, as an existing service is.
        if (!write_file(path, MakeUnitFile(definition), O_CREAT | O_EXCL, failed)) {
            error = static_cast<std::uint32_t>(failed);
            return nullptr;
        }
        failed = run_systemctl({"daemon-reload"});
        if (failed == 0) {
            failed = run_systemctl({"enable", name});
        }
        if (failed != 0) {
            unlink(path.c_str());
            run_systemctl({"daemon-reload"});
            error = static_cast<std::uint32_t>(failed);
            return nullptr;
        }
        return std::make_unique<LinuxServiceHandle>(path, name);
    }

    std::unique_ptr<ServiceHandle> OpenServiceEntry(const std::wstring& serviceName,
                                                    std::uint32_t /*access*/,
                                                    std::uint32_t& error) override {
        const std::string name = UnitStem(serviceName) + ".service";
        const std::string path = unit_directory_ + "/" + name;
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            error = static_cast<std::uint32_t>(errno);
            return nullptr;
        }
        return std::make_unique<LinuxServiceHandle>(path, name);
    }

private:
    std::string unit_directory_;
};

} // namespace

LinuxServiceManager::LinuxServiceManager(std::string unitDirectory, std::string runDirectory)
    : unit_directory_(std::move(unitDirectory)), run_directory_(std::move(runDirectory)) {}

std::unique_ptr<ManagerHandle> LinuxServiceManager::OpenManager(std::uint32_t access,
                                                                std::uint32_t& error) {
    // Creating a service needs a unit directory this process may write.
    const int mode = (access & access_manager_create_service) != 0 ? W_OK | X_OK : X_OK;
    if (::access(unit_directory_.c_str(), mode) != 0) {
        error = static_cast<std::uint32_t>(errno);
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
    run_systemctl({"daemon-reload"});
    return true;
}

namespace {

using Deadline = std::chrono::steady_clock::time_point;

constexpr auto poll_interval = std::chrono::milliseconds(10);

RunEndWait wait_for_lock(const std::string& path, Deadline deadline, std::uint32_t& error) {
    const ScopedFd lock(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!lock) {
        const int failed = errno;
        error = static_cast<std::uint32_t>(failed);
        return failed == ENOENT ? RunEndWait::gone : RunEndWait::cannot_open;
    }
    // flock has no time-out: try, and try again until the deadline.
    for (;;) {
        if (flock(lock.get(), LOCK_SH | LOCK_NB) == 0) {
            flock(lock.get(), LOCK_UN);
            return RunEndWait::ended;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = static_cast<std::uint32_t>(errno);
            return RunEndWait::cannot_open;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
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
        std::uint32_t error = 0;
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
                                              std::uint32_t timeoutMs, std::uint32_t& error) {
    const Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const RunEndWait result =
        wait_for_lock(RunningLockPath(run_directory_, serviceName), deadline, error);
    if (result != RunEndWait::ended && result != RunEndWait::gone) {
        return result;
    }
    return wait_for_unit_stopped(UnitStem(serviceName) + ".service", deadline)
               ? result
               : RunEndWait::no_response;
}

ServiceManager& SystemServiceManager() {
    static LinuxServiceManager manager(default_unit_directory, default_run_directory);
    return manager;
}

} // namespace Core_Service
