// The Linux service manager (a systemd unit and systemctl) and service process (sd_notify
// datagrams, signals, a lock file), with the directories they use made explicit so that tests
// can point them at directories of their own.
#pragma once

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/ServiceProcess.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace Core_Service {

inline constexpr const char* default_unit_directory = "/etc/systemd/system";
inline constexpr const char* default_run_directory = "/run";

using Core_Common::ScopedFd;

// The running lock of a service: runDirectory/<stem>/<stem>.lock, the directory being the
// service's runtime directory.
std::string RunningLockPath(const std::string& runDirectory, const std::wstring& serviceName);

enum class RunningLock {
    taken,          // `lock` holds it
    held_elsewhere, // another run holds it
    unavailable,    // no lock could be had; the run goes on without one
};

// Takes the running lock at `path` without waiting. The lock file is this process's user's,
// mode 0600, in a folder that only that user writes: a folder that is not so is made so (owner
// and mode), a file that is not so is replaced, so that no other user can hold the lock.
RunningLock TakeRunningLock(const std::string& path, ScopedFd& lock);

// What makes the program at `path` replaceable by a user other than root and `user`: the file
// or a folder above it (on its real path) belongs to another user, or its group or others may
// write it. Empty when nothing does.
std::wstring ReplaceablePlace(const std::string& path, uid_t user);

class LinuxServiceManager final : public ServiceManager {
public:
    // checkProgramPlace: whether an install refuses a program file that others could replace;
    // off only for test programs, which run from temporary folders.
    LinuxServiceManager(std::string unitDirectory, std::string runDirectory,
                        bool checkProgramPlace = true);

    std::unique_ptr<ManagerHandle> OpenManager(std::uint32_t access, ServiceError& error) override;
    bool WriteDescription(const std::wstring& serviceName,
                          const std::wstring& description) override;
    std::wstring ProgramPlaceRefusal(const std::wstring& programPath) override;
    bool QueryService(const std::wstring& serviceName, ServiceQuery& query,
                      ServiceError& error) override;
    RunEndWait WaitForRunEnd(const std::wstring& serviceName, std::uint32_t timeoutMs,
                             ServiceError& error) override;

private:
    std::string unit_directory_;
    std::string run_directory_;
    bool check_program_place_;
};

class LinuxServiceProcess final : public ServiceProcess {
public:
    // checkProgramPlace: whether service mode refuses a program file that others could replace;
    // off only for test programs, which run from temporary folders.
    explicit LinuxServiceProcess(std::string runDirectory, bool checkProgramPlace = true);
    ~LinuxServiceProcess();
    LinuxServiceProcess(const LinuxServiceProcess&) = delete;
    LinuxServiceProcess& operator=(const LinuxServiceProcess&) = delete;

    void HoldStopSignals(bool console) override;
    std::wstring ProgramPlaceRefusal() override;

    bool RunDispatcher(const std::wstring& serviceName, ServiceMainEntry serviceMain) override;
    bool RegisterControlHandler(const std::wstring& serviceName,
                                ServiceControlEntry handler) override;
    bool SetStatus(const ServiceStatus& status, std::uint32_t& error) override;
    void CreateExitEvent() override;
    void SignalExitEvent() override;
    WaitResult WaitExitEvent(std::uint32_t timeoutMs) override;
    void CloseExitEvent() override;
    bool CreateRunningMutex(const std::wstring& serviceName) override;
    void ReleaseRunningMutex() override;
    void AddConsoleControlHandler(ConsoleControlEntry handler) override;

private:
    void Wake(char reason);
    bool RunTakesConsoleEvents();
    void ConsoleThread();

    std::string run_directory_;
    bool check_program_place_;

    // Written by the signal handlers, read by the main loop or the console thread.
    ScopedFd wake_read_;
    ScopedFd wake_write_;

    std::mutex mutex_;
    ServiceControlEntry control_entry_ = nullptr;
    std::uint32_t controls_accepted_ = 0;
    std::uint32_t notified_state_ = 0;
    ScopedFd notify_socket_;
    std::string notify_address_;

    std::mutex event_mutex_;
    std::condition_variable event_changed_;
    bool event_exists_ = false;
    bool event_signalled_ = false;

    ScopedFd lock_file_;
    bool lock_owned_ = false;

    ConsoleControlEntry console_entry_ = nullptr;
    std::thread console_thread_;
};

} // namespace Core_Service
