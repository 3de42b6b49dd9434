#include "Core_Common/Log.h"

#include "Core_Common/Singleton.h"
#include "Core_Common/ThreadStorage.h"
#include "Core_Common/Utility.h"

#include <cstdio>

namespace Core_Common {

LogTag log_level_tags[log_level_count] = {
    {"[NORMAL]    ", true},
    {"[DEBUG]     ", true},
    {"[WARNING]   ", true},
    {"[ERROR]     ", true},
};

LogTag log_module_tags[log_module_count] = {
    {"[COMMON]    ", true}, {"[THREAD]    ", true}, {"[TIMER]     ", true}, {"[MESSAGE]   ", true},
    {"[MEMORY]    ", true}, {"[CRASH]     ", true}, {"[NETWORK]   ", true}, {"[SOCKET]    ", true},
    {"[SERVICE]   ", true}, {"[CLIENT]    ", true}, {"[TWSPSERVER]", true}, {"[TWSPCLIENT]", true},
    {"[DATABASE]  ", true}, {"[CONFIG]    ", true}, {"[SESSION]   ", true}, {"[PROTOCOL]  ", true},
    {"[CRYPTO]    ", true}, {"[UPDATE]    ", true}, {"[PLUGIN]    ", true}, {"[SCRIPT]    ", true},
    {"[UI]        ", true}, {"[HTTP]      ", true}, {"[DNS]       ", true}, {"[ARP]       ", true},
    {"[ROUTE]     ", true}, {"[FILTER]    ", true}, {"[CAPTURE]   ", true}, {"[STATS]     ", true},
    {"[REPORT]    ", true}, {"[WATCHDOG]  ", true}, {"[IPC]       ", true}, {"[STORAGE]   ", true},
    {"[TEST]      ", true}, {"[OTHER]     ", true},
};

namespace {

// Each thread's context names, made on its first formatted record, freed when it ends.
thread_specific_ptr<std::vector<std::string>>& context_names() {
    static thread_specific_ptr<std::vector<std::string>> names;
    return names;
}

} // namespace

std::string format_log_time(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<microseconds>(when.time_since_epoch());
    const auto seconds = floor<std::chrono::seconds>(since_epoch);
    const auto micros = (since_epoch - seconds).count();
    const std::tm local = local_calendar_time(static_cast<std::time_t>(seconds.count()));
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(micros));
    return text;
}

std::string Log::ContextText() {
    auto& names = context_names();
    if (names.get() == nullptr) {
        names.reset(new std::vector<std::string>());
    }
    std::string text;
    for (const auto& name : *names.get()) {
        text += name;
    }
    return text;
}

void Log::Write(const std::string& message) {
    const char* tag = log_module_tags[log_module_server].text;
    std::string line = "1";
    line += format_log_time(std::chrono::system_clock::now());
    line += tag;
    line += ContextText();
    line += message;
    line += "\r\n";
    for (LogSink* sink : sinks) {
        sink->WriteRecord(1, 1, log_module_server, tag, "", 0, message);
        sink->WriteLine(1, line);
    }
}

void InterfaceLog::Create() { create_instance(instance); }

void InterfaceLog::Destroy() { destroy_instance(instance); }

void InterfaceLog::Shutdown() { instance->sinks.clear(); }

void LogDebug(const std::string& message) {
    if (!log_level_tags[log_level_debug].enabled || !log_module_tags[log_module_server].enabled ||
        InterfaceLog::instance == nullptr) {
        return;
    }
    InterfaceLog::instance->Write(message);
}

void GetMemoryLog(const std::uint8_t*& /*firstSpan*/, std::uint32_t& /*firstLength*/,
                  const std::uint8_t*& /*secondSpan*/, std::uint32_t& /*secondLength*/) {}

} // namespace Core_Common
