#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Core_Common {

// One entry of a tag table: a 12-character bracketed, space-padded name and its switch.
struct LogTag {
    const char* text;
    bool enabled;
};

inline constexpr int log_level_normal = 0;
inline constexpr int log_level_debug = 1;
inline constexpr int log_level_warning = 2;
inline constexpr int log_level_error = 3;
inline constexpr int log_level_count = 4;

inline constexpr int log_module_count = 34;
inline constexpr int log_module_server = 10; // "[TWSPSERVER]", the only component this system uses

extern LogTag log_level_tags[log_level_count];
extern LogTag log_module_tags[log_module_count];

// A receiver of log records. The log does not own its sinks.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void WriteLine(int kind, const std::string& line) = 0;
    virtual void WriteRecord(int kind, int level, int module, const char* tag, const char* text,
                             int value, const std::string& message) = 0;
};

class Log {
public:
    std::vector<LogSink*> sinks;

    // Formats one debug record of the server component and hands it to every sink.
    void Write(const std::string& message);

    // The calling thread's context names, concatenated; empty unless a thread adds names.
    std::string ContextText();
};

// "%H:%M:%S.%f" of the local time of a wall-clock point: six digits of fraction.
std::string format_log_time(std::chrono::system_clock::time_point when);

class InterfaceLog {
public:
    static inline Log* instance = nullptr;

    static void Create();
    static void Destroy();
    static void Startup() {}
    static void Shutdown();
};

// Logs at the debug level under the server component, when both tags are enabled and the
// module exists.
void LogDebug(const std::string& message);

// This system keeps no in-memory log: returns at once and leaves the four values untouched.
void GetMemoryLog(const std::uint8_t*& firstSpan, std::uint32_t& firstLength,
                  const std::uint8_t*& secondSpan, std::uint32_t& secondLength);

} // namespace Core_Common
