// The service host on Linux, end to end: the service test program run against a stand-in
// systemctl, a notify socket and signals, in directories of the test's own.
#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/SystemdUnit.h"
#include "Core_Service/linux/ServiceSystem_linux.h"
#include "fakes/ServiceLines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <list>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace Core_Service;
using testing::ElementsAre;
using testing::HasSubstr;
using tw_test::FailureLine;
using tw_test::narrow;

const std::string description =
    "Protect you against ARP attack in the local network, attackers can no longer sniff your "
    "traffic.";

// Bounds a wait that should end at once; reached only when the behaviour is broken.
constexpr int give_up_ms = 20000;

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

const std::string simulation_line = narrow(L"[NORMAL][ServiceDispatcher]服务运行在模拟状态") + "\n";
const std::string run_in_progress_line =
    narrow(L"[WARN][ServiceDispatcher]已有实例在运行，本次运行不改动 ARP 表") + "\n";

// A child process with its standard output and error on pipes.
struct Child {
    pid_t pid = -1;
    ScopedFd out;
    ScopedFd err;
    std::string err_buffer;

    // Reads standard error until a line equal to `line`; false at its end or after the bound.
    bool WaitForLine(const std::string& line) {
        for (;;) {
            std::size_t end = 0;
            while ((end = err_buffer.find('\n')) != std::string::npos) {
                const std::string got = err_buffer.substr(0, end);
                err_buffer.erase(0, end + 1);
                if (got == line) {
                    return true;
                }
            }
            pollfd waiting{err.get(), POLLIN, 0};
            if (poll(&waiting, 1, give_up_ms) <= 0) {
                return false;
            }
            char buffer[256];
            const ssize_t got = read(err.get(), buffer, sizeof buffer);
            if (got <= 0) {
                return false;
            }
            err_buffer.append(buffer, static_cast<std::size_t>(got));
        }
    }

    std::string ReadAllOut() const {
        std::string text;
        char buffer[256];
        ssize_t got = 0;
        while ((got = read(out.get(), buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    // The exit code, or 128 plus the signal that ended it.
    int Wait() {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

Child spawn_command(std::vector<std::string> words, std::vector<std::string> env) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    int out[2];
    int err[2];
    Child child;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return child;
    }
    child.out.reset(out[0]);
    child.err.reset(err[0]);
    const ScopedFd out_write(out[1]);
    const ScopedFd err_write(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

class ServiceHostLinuxTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tw-service-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        for (const char* dir : {"units", "run", "state", "bin"}) {
            fs::create_directories(root / dir);
        }
        fs::create_symlink(FAKE_SYSTEMCTL, root / "bin" / "systemctl");
        program = SERVICE_HOST_PROGRAM;
        SetProgram(program);
    }

    void TearDown() override {
        for (Child& child : children) {
            if (child.pid > 0) {
                kill(child.pid, SIGKILL);
                child.Wait();
            }
        }
        fs::remove_all(root);
    }

    // The program the tests run, and the names of its service that follow from it.
    void SetProgram(const fs::path& path) {
        program = path;
        service_name = L"Tarnwick Test " + program.stem().wstring();
        unit_name = UnitStem(service_name) + ".service";
        unit_path = root / "units" / unit_name;
        lock_path = RunningLockPath((root / "run").string(), service_name);
    }

    std::vector<std::string> Environment(bool notify) const {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("PATH=", 0) != 0 && text.rfind("NOTIFY_SOCKET=", 0) != 0) {
                env.push_back(text);
            }
        }
        const char* path = std::getenv("PATH");
        env.push_back("PATH=" + (root / "bin").string() + ":" + (path != nullptr ? path : ""));
        env.push_back("TW_TEST_UNIT_DIR=" + (root / "units").string());
        env.push_back("TW_TEST_RUN_DIR=" + (root / "run").string());
        env.push_back("TW_TEST_SYSTEMCTL_STATE=" + (root / "state").string());
        env.push_back("TW_TEST_EVENTS=" + (root / "events").string());
        if (notify) {
            env.push_back("NOTIFY_SOCKET=" + (root / "notify").string());
        }
        return env;
    }

    Child Spawn(const std::vector<std::string>& args, bool notify = false,
                const std::vector<std::string>& more_env = {}) {
        std::vector<std::string> words = {program.string()};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<std::string> env = Environment(notify);
        env.insert(env.end(), more_env.begin(), more_env.end());
        return spawn_command(words, env);
    }

    // Runs the program with one switch; gives its standard output and checks its exit code.
    std::string Run(const std::string& argument, int code = exit_success) {
        Child child = Spawn({argument});
        std::string output = child.ReadAllOut();
        EXPECT_EQ(child.Wait(), code) << argument;
        return output;
    }

    // systemctl show's words.
    std::string Show() const { return "show -p LoadState -p FragmentPath " + unit_name; }

    std::vector<std::string> Calls() const { return lines_of(read_text(root / "state" / "calls")); }
    std::vector<std::string> Events() const { return lines_of(read_text(root / "events")); }
    void ClearRecords() const {
        fs::remove(root / "state" / "calls");
        fs::remove(root / "events");
    }
    void MarkActive() const { std::ofstream(root / "state" / (unit_name + ".active")); }

    Child& Keep(Child child) {
        children.push_back(std::move(child));
        return children.back();
    }

    // A debug run of the program stands for the running service: it holds the running lock,
    // and the stand-in systemctl's stop sends it SIGTERM.
    Child& StartRunningService() {
        Child& holder = Keep(Spawn({"/debug"}));
        if (!holder.WaitForLine("OnIdle")) {
            ADD_FAILURE() << "the debug run standing for the service did not run";
        }
        std::ofstream(root / "state" / (unit_name + ".pid")) << holder.pid;
        MarkActive();
        return holder;
    }

    // The notify socket that service mode sends its state changes to.
    ScopedFd BindNotifySocket() const {
        ScopedFd notify(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socket_path = (root / "notify").string();
        EXPECT_LT(socket_path.size(), sizeof address.sun_path);
        socket_path.copy(address.sun_path, socket_path.size());
        fs::remove(socket_path);
        EXPECT_EQ(bind(notify.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return notify;
    }

    bool LockHeld() const {
        const ScopedFd fd(open(lock_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            return false;
        }
        const bool free = flock(fd.get(), LOCK_SH | LOCK_NB) == 0;
        return !free;
    }

    fs::path root;
    fs::path program;
    std::wstring service_name;
    std::string unit_name;
    fs::path unit_path;
    std::string lock_path;
    // Children that may run beyond a test's last step, owned here so that one a failed test
    // leaves running is still ended.
    std::list<Child> children;
};

// Runs a tool; gives its exit code and what it wrote on each stream.
struct ToolResult {
    int code;
    std::string out;
    std::string err;
};

ToolResult run_tool(const std::vector<std::string>& words) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    Child child = spawn_command(words, env);
    ToolResult result{};
    // Both streams are small: read one, then the other.
    result.out = child.ReadAllOut();
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(child.err.get(), buffer, sizeof buffer)) > 0) {
        result.err.append(buffer, static_cast<std::size_t>(got));
    }
    result.code = child.Wait();
    return result;
}

TEST_F(ServiceHostLinuxTest, InstallWritesAQuotedHardenedUnitAndEnablesIt) {
    // A program path with blanks: ExecStart must name the whole path. Outside ASCII (no
    // conversion through the C locale), and with a '$', which systemd takes as it is there.
    const fs::path folder = root / "pr\xC3\xB6gram files $HOME";
    fs::create_directories(folder);
    fs::copy_file(SERVICE_HOST_PROGRAM, folder / "service host");
    SetProgram(folder / "service host");

    EXPECT_EQ(Run("/install"), "Service Register successed.\n");
    const std::string unit = read_text(unit_path);
    EXPECT_THAT(unit, HasSubstr("\nExecStart=\"" + program.string() + "\"\n"));
    EXPECT_THAT(unit, HasSubstr("\nDescription=" + description + "\n"));
    EXPECT_THAT(unit, HasSubstr("\nType=notify\n"));
    EXPECT_THAT(unit, HasSubstr("\nWantedBy=multi-user.target\n"));
    EXPECT_THAT(Calls(),
                ElementsAre(Show(), "daemon-reload", "enable " + unit_name, "daemon-reload"));
    EXPECT_TRUE(fs::exists(root / "state" / (unit_name + ".enabled")));

    // Its manual page comes with the package only.
    const ToolResult verified =
        run_tool({"systemd-analyze", "verify", "--man=no", unit_path.string()});
    EXPECT_EQ(verified.code, 0);
    EXPECT_EQ(verified.err, "");

    const ToolResult security =
        run_tool({"systemd-analyze", "security", "--offline=yes", unit_path.string()});
    const std::string marker = "Overall exposure level for " + unit_name + ": ";
    const std::size_t at = security.out.find(marker);
    ASSERT_NE(at, std::string::npos) << security.out << security.err;
    std::istringstream rating(security.out.substr(at + marker.size()));
    double exposure = 0;
    std::string level;
    rating >> exposure >> level;
    EXPECT_THAT(level, testing::AnyOf("OK", "SAFE", "PERFECT")) << exposure;
}

class InstallRefusalTest : public ServiceHostLinuxTest,
                           public testing::WithParamInterface<const char*> {};

// A program path systemd will not run (it checks only when it starts the unit) is refused by
// the install, with the reason; a folder name that is not UTF-8 is no "file not found".
TEST_P(InstallRefusalTest, PathsSystemdWillNotRunAreRefusedWithTheReason) {
    const fs::path folder = root / GetParam();
    fs::create_directories(folder);
    fs::copy_file(SERVICE_HOST_PROGRAM, folder / "svc");
    SetProgram(folder / "svc");
    const std::string output = Run("/install", exit_failed);
    EXPECT_THAT(output, testing::StartsWith("[ERROR][ServiceDispatcher][ error_code = " +
                                            std::to_string(EINVAL) + " ] "));
    EXPECT_THAT(output, HasSubstr(": systemd does not run a program whose path holds "));
    EXPECT_FALSE(fs::exists(unit_path));
    EXPECT_TRUE(Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(QuoteBackslashControlNotUtf8, InstallRefusalTest,
                         testing::Values("a\"b", "a'b", "a\\b",
                                         "a\x01"
                                         "b",
                                         "a\xFF"
                                         "b"));

// systemctl's own exit status and words say why an operation failed; a refusal of access is
// EACCES, whether its status or its message says so.
TEST_F(ServiceHostLinuxTest, FailedSystemctlCallsReportItsStatusAndMessage) {
    const auto fail_next = [this](const std::string& verb, const std::string& how) {
        std::ofstream(root / "state" / ("fail." + verb)) << how << "\n";
    };
    fail_next("enable", "1 Failed to enable unit: Unit file x.service is masked.");
    EXPECT_EQ(Run("/install", exit_failed),
              FailureLine(EIO, "systemctl exit status 1: Failed to enable unit: Unit file "
                               "x.service is masked."));
    EXPECT_FALSE(fs::exists(unit_path));
    fs::remove(root / "state" / "fail.enable");

    Run("/install");
    MarkActive();
    fail_next("stop", "4 Failed to stop " + unit_name + ": Access denied");
    EXPECT_EQ(Run("/stop", exit_failed),
              FailureLine(EACCES, "systemctl exit status 4: Failed to stop " + unit_name +
                                      ": Access denied"));
    fail_next("stop", "1 Failed to stop " + unit_name + ": Interactive authentication required.");
    EXPECT_EQ(Run("/stop", exit_failed),
              FailureLine(EACCES, "systemctl exit status 1: Failed to stop " + unit_name +
                                      ": Interactive authentication required."));
}

TEST_F(ServiceHostLinuxTest, InstallOfAnInstalledServiceFailsAndLeavesTheUnit) {
    EXPECT_EQ(Run("/i"), "Service Register successed.\n");
    const std::string before = read_text(unit_path);
    ClearRecords();
    EXPECT_EQ(Run("-INSTALL", exit_failed), FailureLine(EEXIST));
    EXPECT_EQ(read_text(unit_path), before);
    EXPECT_THAT(Calls(), ElementsAre(Show()));
}

// A unit that systemd has from elsewhere (a package's, in /lib/systemd/system) is started and
// stopped where it is; /install would override it and /uninstall leave the package's files
// half gone, so both refuse, saying what to do.
TEST_F(ServiceHostLinuxTest, APackagesUnitIsControlledButNotInstalledOrRemoved) {
    const fs::path packaged = root / "state" / "package-units" / unit_name;
    fs::create_directories(packaged.parent_path());
    std::ofstream(packaged) << "[Service]\n";
    EXPECT_EQ(Run("/install", exit_failed),
              FailureLine(EEXIST, unit_name + " is installed already, as " + packaged.string() +
                                      " (by a package): use that one, or remove the package "
                                      "first"));
    EXPECT_FALSE(fs::exists(unit_path));
    EXPECT_EQ(Run("/start"), "Service Start successed.\n");
    EXPECT_EQ(Run("/uninstall", exit_failed),
              FailureLine(EPERM, unit_name + " was not installed by /install but as " +
                                     packaged.string() +
                                     " (by a package): remove it with the package manager, for "
                                     "example apt remove " +
                                     UnitStem(service_name)));
    EXPECT_EQ(Run("/stop"), "Service Stop successed.\n");
    EXPECT_TRUE(fs::exists(packaged));
    EXPECT_THAT(Calls(), testing::Not(testing::Contains(testing::StartsWith("disable"))));
}

TEST_F(ServiceHostLinuxTest, UninstallRemovesAStoppedServiceOnly) {
    Run("/install");
    Run("/start");
    EXPECT_EQ(Run("/uninstall", exit_failed),
              "[ERROR][ServiceDispatcher]" + narrow(L"服务没有被停止，无法注销服务") + "\n");
    EXPECT_TRUE(fs::exists(unit_path));
    fs::remove(root / "state" / (unit_name + ".active"));
    ClearRecords();
    EXPECT_EQ(Run("-u"), "Service Unregister successed.\n");
    EXPECT_FALSE(fs::exists(unit_path));
    EXPECT_THAT(Calls(), ElementsAre(Show(), "is-active " + unit_name, "disable " + unit_name,
                                     "daemon-reload"));
    EXPECT_EQ(Run("/u", exit_failed), FailureLine(ENOENT));
}

TEST_F(ServiceHostLinuxTest, StartAsksWithoutWaitingAndIsRefusedWhileRunning) {
    Run("/install");
    ClearRecords();
    EXPECT_EQ(Run("/start"), "Service Start successed.\n");
    EXPECT_THAT(Calls(),
                ElementsAre(Show(), "is-active " + unit_name, "start --no-block " + unit_name));
    EXPECT_EQ(Run("-start", exit_failed), "");
}

TEST_F(ServiceHostLinuxTest, StopWaitsForTheRunToEnd) {
    Run("/install");
    Child& holder = StartRunningService();
    ASSERT_TRUE(LockHeld());
    ClearRecords();
    EXPECT_EQ(Run("/stop"), "Service Stop successed.\n");
    // The stop returned only once the run had released its lock, after OnStop.
    EXPECT_THAT(Events(), testing::Contains("OnStop"));
    EXPECT_FALSE(LockHeld());
    // And once systemd counted the unit as stopped.
    EXPECT_THAT(Calls(), ElementsAre(Show(), "is-active " + unit_name,
                                     "stop --no-block " + unit_name, "is-active " + unit_name));
    EXPECT_EQ(holder.Wait(), 0);
}

// The wait of a stop ends at its bound while the run still holds its lock: a time-out, with the
// system's code for it. The lock released, the wait ends at once.
TEST_F(ServiceHostLinuxTest, WaitForTheRunsEndTimesOutWhileTheLockIsHeld) {
    LinuxServiceManager manager((root / "units").string(), (root / "run").string());
    fs::create_directories(fs::path(lock_path).parent_path());
    const ScopedFd held(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
    ServiceError error;
    EXPECT_EQ(manager.WaitForRunEnd(service_name, 50, error), RunEndWait::no_response);
    EXPECT_EQ(error.code, static_cast<std::uint32_t>(ETIMEDOUT));
    flock(held.get(), LOCK_UN);
    EXPECT_EQ(manager.WaitForRunEnd(service_name, 50, error), RunEndWait::ended);
}

TEST_F(ServiceHostLinuxTest, StopOfAServiceThatDoesNotRunFails) {
    Run("/install");
    EXPECT_EQ(Run("/stop", exit_failed), FailureLine(ESRCH));
}

TEST_F(ServiceHostLinuxTest, RestartStopsARunningServiceThenStartsIt) {
    Run("/install");
    Child& holder = StartRunningService();
    ClearRecords();
    EXPECT_EQ(Run("/restart"), "Service Restart successed.\n");
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_THAT(Calls(), ElementsAre(Show(), "is-active " + unit_name, Show(),
                                     "is-active " + unit_name, "stop --no-block " + unit_name,
                                     "is-active " + unit_name, "is-active " + unit_name, Show(),
                                     "is-active " + unit_name, "start --no-block " + unit_name));
}

TEST_F(ServiceHostLinuxTest, RestartOfAStoppedServiceOnlyStartsIt) {
    Run("/install");
    ClearRecords();
    EXPECT_EQ(Run("-restart"), "Service Restart successed.\n");
    EXPECT_THAT(Calls(), ElementsAre(Show(), "is-active " + unit_name, Show(),
                                     "is-active " + unit_name, "start --no-block " + unit_name));
}

TEST_F(ServiceHostLinuxTest, HelpUnknownSwitchesAndServiceModeFromAConsole) {
    EXPECT_EQ(Run("?"), HelpText());
    EXPECT_EQ(Run("/?"), HelpText());
    // Not a switch: named, with the help text, and nothing run.
    EXPECT_EQ(Run("/installx", exit_usage), "Unknown switch \"/installx\".\n" + HelpText());
    EXPECT_TRUE(Events().empty());
    // No argument: service mode, which finds no notify socket and ends at once; the service did
    // not run.
    Child child = Spawn({});
    EXPECT_EQ(child.ReadAllOut(), "");
    EXPECT_EQ(child.Wait(), exit_failed);
    EXPECT_THAT(Events(), ElementsAre("OnStart", "Ended"));
    EXPECT_FALSE(fs::exists(unit_path));
}

TEST_F(ServiceHostLinuxTest, ServiceModeNotifiesReadyAndStoppingAndEndsOnSigterm) {
    const ScopedFd notify = BindNotifySocket();

    Child& service = Keep(Spawn({}, true));
    const auto receive = [&] {
        pollfd waiting{notify.get(), POLLIN, 0};
        if (poll(&waiting, 1, give_up_ms) <= 0) {
            return std::string("(nothing)");
        }
        char buffer[256];
        const ssize_t got = recv(notify.get(), buffer, sizeof buffer, 0);
        return got < 0 ? std::string("(error)")
                       : std::string(buffer, static_cast<std::size_t>(got));
    };
    EXPECT_EQ(receive(), "READY=1");
    EXPECT_TRUE(LockHeld());
    ASSERT_TRUE(service.WaitForLine("OnIdle"));
    kill(service.pid, SIGTERM);
    EXPECT_EQ(receive(), "STOPPING=1");
    EXPECT_EQ(service.Wait(), 0);
    EXPECT_FALSE(LockHeld());
    // One datagram each, nothing more.
    char buffer[64];
    EXPECT_EQ(recv(notify.get(), buffer, sizeof buffer, MSG_DONTWAIT), -1);
    // Stopping is reported before the handler's stop and again after it; the run loop's waits
    // meanwhile may repeat it with the next checkpoint.
    auto events = Events();
    events.erase(std::unique(events.begin(), events.end(),
                             [](const std::string& a, const std::string& b) {
                                 return a == b && a == "Status 3 5";
                             }),
                 events.end());
    EXPECT_THAT(events, ElementsAre("OnStart", "Status 2 0", "Status 4 5", "OnIdle", "Status 3 5",
                                    "OnStop", "Status 3 5", "Status 1 0", "Ended"));
}

// A run in progress holds the running lock: a debug run, or service mode started by hand, says
// so in one line and ends without starting anything; the first run goes on holding its lock.
TEST_F(ServiceHostLinuxTest, RunsThatFindARunInProgressLeaveItAlone) {
    Child& first = StartRunningService();
    ClearRecords();
    for (const bool debug : {true, false}) {
        Child& second =
            Keep(Spawn(debug ? std::vector<std::string>{"-debug"} : std::vector<std::string>{}));
        ASSERT_TRUE(second.WaitForLine("Ended")) << debug;
        EXPECT_EQ(second.ReadAllOut(), (debug ? simulation_line : "") + run_in_progress_line);
        EXPECT_EQ(second.Wait(), exit_failed);
    }
    EXPECT_THAT(Events(), ElementsAre("Ended", "Ended"));
    EXPECT_TRUE(LockHeld());
    kill(first.pid, SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_THAT(Events(), ElementsAre("Ended", "Ended", "OnStop", "Ended"));
}

// Whoever could open the lock file could hold its lock for as long as they like and so keep
// every start from running: the lock file is the run's user's alone (0600), in a folder only
// that user writes, and a file that is not so, locked by someone (here the test, as another
// user's squatter would), is replaced rather than waited for.
TEST_F(ServiceHostLinuxTest, TheRunningLockIsNobodyElsesToHold) {
    const fs::path folder = fs::path(lock_path).parent_path();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);
    const ScopedFd squatter(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(fchmod(squatter.get(), 0644), 0);
    ASSERT_EQ(flock(squatter.get(), LOCK_EX), 0);

    Child& run = Keep(Spawn({"-debug"}));
    ASSERT_TRUE(run.WaitForLine("OnIdle"));
    EXPECT_TRUE(LockHeld());
    struct stat info {};
    ASSERT_EQ(stat(lock_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    kill(run.pid, SIGINT);
    EXPECT_EQ(run.Wait(), exit_success);
    EXPECT_EQ(run.ReadAllOut(), simulation_line);
}

// From the program file up to the root, the first place that a user other than root (and the
// given one) could change: the program could be replaced through it.
TEST(ReplaceablePlace, NamesTheFirstPlaceOthersCouldChangeOnTheWayUp) {
    char pattern[] = "/tmp/tw-place-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    const fs::path program = folder / "antiarp";
    std::ofstream(program) << "x";
    fs::permissions(program, fs::perms(0755));
    const uid_t user = geteuid();
    const auto place = [&](const fs::path& path) { return narrow(ReplaceablePlace(path, user)); };

    // The sticky bit of /tmp keeps others from replacing only what is not theirs.
    EXPECT_EQ(place(program), "/tmp can be written by others than its owner (mode 1777)");
    fs::permissions(folder, fs::perms::all);
    EXPECT_EQ(place(program),
              folder.string() + " can be written by others than its owner (mode 0777)");
    fs::permissions(program, fs::perms(0775));
    EXPECT_EQ(place(program),
              program.string() + " can be written by others than its owner (mode 0775)");
    if (user == 0) {
        ASSERT_EQ(chown(program.c_str(), 65534, 65534), 0);
        EXPECT_EQ(place(program), program.string() + " belongs to user 65534");
    } else {
        EXPECT_EQ(narrow(ReplaceablePlace(program, 0)),
                  program.string() + " belongs to user " + std::to_string(user));
    }
    EXPECT_EQ(place(folder / "missing"), (folder / "missing").string() + " cannot be examined (" +
                                             narrow(Core_Common::system_error_text(ENOENT)) + ")");
    // Root's own folders, written by root alone.
    EXPECT_EQ(place("/usr/bin/env"), "");
    fs::remove_all(folder);
}

class DebugModeSignalTest : public ServiceHostLinuxTest, public testing::WithParamInterface<int> {};

TEST_P(DebugModeSignalTest, SignalEndsTheRunCleanly) {
    Child& run = Keep(Spawn({"-DEBUG"}));
    ASSERT_TRUE(run.WaitForLine("OnIdle"));
    EXPECT_TRUE(LockHeld());
    kill(run.pid, GetParam());
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(run.ReadAllOut(), simulation_line);
    EXPECT_THAT(Events(), ElementsAre("OnStart", "OnIdle", "OnStop", "Ended"));
    EXPECT_FALSE(LockHeld());
}

INSTANTIATE_TEST_SUITE_P(IntQuitHupTerm, DebugModeSignalTest,
                         testing::Values(SIGINT, SIGQUIT, SIGHUP, SIGTERM));

// Stop signals in a burst that goes on until the process has ended, the last ones sent by the
// program to itself as its very last step: whatever step of the stop each one meets (the
// flush, the release of the lock, the process's own end), the run ends with its stop and exit
// code 0.
TEST_F(ServiceHostLinuxTest, BurstOfStopSignalsEndsTheRunWithExitCode0) {
    const struct {
        const char* mode; // empty: service mode, under a notify socket
        std::vector<int> signals;
    } runs[] = {{"-debug", {SIGINT, SIGTERM, SIGQUIT, SIGHUP}}, {"", {SIGTERM}}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.mode);
        ClearRecords();
        const bool service = *run.mode == '\0';
        const ScopedFd notify = service ? BindNotifySocket() : ScopedFd();
        Child& child =
            Keep(Spawn(service ? std::vector<std::string>{} : std::vector<std::string>{run.mode},
                       service, {"TW_TEST_STOP_SIGNALS_AT_END=1"}));
        ASSERT_TRUE(child.WaitForLine("OnIdle"));
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(give_up_ms);
        for (std::size_t sent = 0;; ++sent) {
            siginfo_t ended{};
            ASSERT_EQ(waitid(P_PID, child.pid, &ended, WEXITED | WNOHANG | WNOWAIT), 0);
            if (ended.si_pid == child.pid) {
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the run did not end";
            kill(child.pid, run.signals[sent % run.signals.size()]);
        }
        EXPECT_EQ(child.Wait(), 0);
        const std::vector<std::string> events = Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), "OnStart");
        EXPECT_THAT(events, testing::Contains("OnStop"));
        EXPECT_EQ(events.back(), "Ended");
        EXPECT_FALSE(LockHeld());
    }
}

} // namespace
