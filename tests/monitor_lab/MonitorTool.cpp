// Runs the ARP module over the system's network stack, for the lab: inside a network
// namespace, so that only the namespace's links and routes are touched. Reads commands from
// standard input, one a line; the module's own lines and the replies (lines that start with
// "== ") share standard output, so their order is the order of events. Commands and replies:
//   start         the module's Start: "== started"
//   stop          the module's Stop: "== stopped threads=<threads of the process>"
//   fds           "== fds <open descriptors of the process>"
//   settle <ms>   waits until the monitor has sat in one wait for <ms> (at most 20 s):
//                 "== settled waits=<waits so far>" or "== unsettled"
//   quit          ends the tool
// Prints "ready" once the module exists.
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace {

using namespace Core_SocketARP;
using Clock = std::chrono::steady_clock;

// Whether the monitor sits in its wait, and since when.
class WaitWatch {
public:
    void Enter() {
        const std::lock_guard lock(mutex_);
        waiting_ = true;
        since_ = Clock::now();
        ++waits_;
        changed_.notify_all();
    }

    void Leave() {
        const std::lock_guard lock(mutex_);
        waiting_ = false;
        changed_.notify_all();
    }

    // True once the monitor has been waiting for `quiet` in one go; false after `limit`.
    bool AwaitQuiet(std::chrono::milliseconds quiet, std::chrono::seconds limit, int& waits) {
        const auto end = Clock::now() + limit;
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto now = Clock::now();
            waits = waits_;
            if (waiting_ && now - since_ >= quiet) {
                return true;
            }
            if (now >= end) {
                return false;
            }
            const auto next = waiting_ ? since_ + quiet : now + quiet;
            changed_.wait_until(lock, next < end ? next : end);
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool waiting_ = false;
    Clock::time_point since_;
    int waits_ = 0;
};

class WatchedSubscription final : public RouteChangeSubscription {
public:
    WatchedSubscription(std::unique_ptr<RouteChangeSubscription> inner, WaitWatch& watch)
        : inner_(std::move(inner)), watch_(watch) {}

    RouteRegistration Register(SystemErrorCode& error) override { return inner_->Register(error); }

    RouteWait Wait(const WaitSet& set, ChangeReport& report, SystemErrorCode& error) override {
        watch_.Enter();
        const RouteWait result = inner_->Wait(set, report, error);
        watch_.Leave();
        return result;
    }

private:
    std::unique_ptr<RouteChangeSubscription> inner_;
    WaitWatch& watch_;
};

// The system's stack, with the monitor's waits watched.
class WatchedStack final : public NetworkStack {
public:
    explicit WatchedStack(NetworkStack& inner) : inner_(inner) {}

    std::vector<std::uint32_t> ListInterfaces() override { return inner_.ListInterfaces(); }
    std::vector<AdapterInfo> ListAdapters() override { return inner_.ListAdapters(); }
    NetworkSnapshot Snapshot() override { return inner_.Snapshot(); }
    std::vector<std::optional<SystemErrorCode>>
    FlushArpTables(const std::vector<std::uint32_t>& interfaces) override {
        return inner_.FlushArpTables(interfaces);
    }
    std::unique_ptr<ArpResolver> CreateResolver() override { return inner_.CreateResolver(); }
    bool CreateArpEntry(const ArpEntry& entry) override { return inner_.CreateArpEntry(entry); }
    void SetArpEntry(const ArpEntry& entry) override { inner_.SetArpEntry(entry); }
    void DeleteArpEntry(std::uint32_t index, const std::string& address) override {
        inner_.DeleteArpEntry(index, address);
    }
    std::optional<HardwareAddress> ReadStaticEntry(std::uint32_t index,
                                                   const std::string& address) override {
        return inner_.ReadStaticEntry(index, address);
    }
    std::unique_ptr<StopEvent> CreateStopEvent() override { return inner_.CreateStopEvent(); }
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override {
        return std::make_unique<WatchedSubscription>(inner_.SubscribeRouteChanges(), watch);
    }

    WaitWatch watch;

private:
    NetworkStack& inner_;
};

int CountEntries(const char* directory) {
    DIR* listing = opendir(directory);
    if (listing == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(listing);
    return count;
}

void Reply(const std::string& text) {
    std::printf("== %s\n", text.c_str());
    std::fflush(stdout);
}

} // namespace

int main() {
    WatchedStack stack(SystemNetworkStack());
    InterfaceSocketARP::UseNetworkStack(stack);
    InterfaceSocketARP::Create();
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "start") {
            InterfaceSocketARP::Start();
            Reply("started");
        } else if (line == "stop") {
            InterfaceSocketARP::Stop();
            Reply("stopped threads=" + std::to_string(CountEntries("/proc/self/task")));
        } else if (line == "fds") {
            // Less the listing's own descriptor.
            Reply("fds " + std::to_string(CountEntries("/proc/self/fd") - 1));
        } else if (line.starts_with("settle ")) {
            int waits = 0;
            const bool quiet =
                stack.watch.AwaitQuiet(std::chrono::milliseconds(std::stoi(line.substr(7))),
                                       std::chrono::seconds(20), waits);
            Reply(quiet ? "settled waits=" + std::to_string(waits) : "unsettled");
        } else if (line == "quit") {
            break;
        } else {
            Reply("unknown command: " + line);
        }
    }
    InterfaceSocketARP::Shutdown();
    InterfaceSocketARP::Destroy();
    InterfaceSocketARP::UseSystemNetworkStack();
    return 0;
}
