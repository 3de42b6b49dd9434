// The crash report's text and names, written once for both platforms. Everything here works
// on fixed buffers and never allocates: it runs inside an exception filter or a signal handler.
#pragma once

#include "Core_Common/FixedText.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace Core_Common::crash_report {

inline constexpr std::uint32_t code_access_violation = 0xC0000005u;
inline constexpr std::uint32_t code_cpp_exception = 0xE06D7363u;
inline constexpr std::uint32_t code_stack_overflow = 0xC00000FDu;

inline constexpr const wchar_t* dump_file_name = L"CRASH.DMP";
inline constexpr const wchar_t* report_file_name = L"CRASHLOG.TXT";
inline constexpr const wchar_t* log_data_file_name = L"CRASHLOG.DAT";
inline constexpr int crash_exit_code = 100;

// "an Access Violation" and the other names of the exception-code table;
// "an Unknown exception type" for a code not in it.
const wchar_t* describe_exception_code(std::uint32_t code);

using Core_Common::fixed_text;

// One value for the report's printf-style formats: %s takes a text (null prints nothing),
// %d %u %x %X take integers; an "ll" length reads all 64 bits, otherwise the low 32 bits.
class format_arg {
public:
    format_arg(const wchar_t* text) : text_(text), is_text_(true) {}
    // Signed values are sign-extended, so "%d" of a negative int and "%x" of it agree with
    // the platform formatter.
    template <class T>
    requires std::is_integral_v<T> format_arg(T value) : bits_(widen(value)) {}

    const wchar_t* text() const { return is_text_ ? text_ : nullptr; }
    bool is_text() const { return is_text_; }
    std::uint64_t bits() const { return bits_; }

private:
    template <class T> static std::uint64_t widen(T value) {
        if constexpr (std::is_signed_v<T>) {
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        } else {
            return static_cast<std::uint64_t>(value);
        }
    }

    const wchar_t* text_ = nullptr;
    std::uint64_t bits_ = 0;
    bool is_text_ = false;
};

// Formats into out (capacity units, one of which is kept for the terminating zero) and returns
// the number of units written. Flags: "0" and a width; conversions s d i u x X and %%. A
// conversion without a value, or of the wrong kind, prints nothing.
std::size_t format_text(wchar_t* out, std::size_t capacity, const wchar_t* format,
                        std::initializer_list<format_arg> args);

// Where the report text goes: the open report file.
class report_sink {
public:
    virtual void write_units(const wchar_t* units, std::size_t count) = 0;

protected:
    ~report_sink() = default;
};

// The pending report text. Each append formats at most 1024 units; once more than 130048 units
// are pending, the whole pending text goes to the sink before the next append.
class report_writer {
public:
    static constexpr std::size_t flush_threshold = 130048;
    static constexpr std::size_t step_units = 1024;
    static constexpr std::size_t buffer_units = 131072;

    report_writer() = default;
    explicit report_writer(report_sink& sink) : sink_(&sink) {}
    void attach(report_sink& sink) { sink_ = &sink; }

    void append(const wchar_t* format, std::initializer_list<format_arg> args = {});
    void flush();
    std::int32_t pending() const { return pending_; }

private:
    report_sink* sink_ = nullptr;
    std::int32_t pending_ = 0;
    // One full step and its terminating zero fit beyond the threshold.
    wchar_t buffer_[buffer_units + 1] = {};
};

// Register sets the report knows how to print.
enum class register_layout : std::uint8_t { none, i386, x86_64 };

struct register_values {
    register_layout layout = register_layout::none;
    // i386: edi esi eax ebx ecx edx eip ebp cs eflags esp ss.
    // x86_64: rax rbx rcx rdx rsi rdi rbp rsp r8..r15 rip eflags cs.
    std::uint64_t values[24] = {};
};

struct calendar_time {
    bool known = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The facts of one crash, gathered by the platform part; every text may be null.
struct crash_facts {
    const wchar_t* executable_name = nullptr; // file name without its extension
    const wchar_t* executable_path = nullptr;
    const wchar_t* module_name = nullptr; // file name of the module holding the fault address
    const wchar_t* where = nullptr;
    std::uint32_t code = 0;
    std::uint32_t code_segment = 0;
    std::uint64_t instruction_pointer = 0;
    unsigned address_digits = 8; // 8 for a 32-bit process, 16 for a 64-bit one

    calendar_time time;
    const wchar_t* user_name = nullptr;
    const wchar_t* os_name = nullptr;
    const wchar_t* os_version = nullptr;
    std::int32_t processor_count = 0;
    std::int32_t processor_type = 0;

    std::uint32_t memory_load = 0;
    std::uint64_t total_physical = 0, available_physical = 0;
    std::uint64_t total_page_file = 0, available_page_file = 0;
    std::uint64_t total_virtual = 0, available_virtual = 0;

    bool process_time_known = false;
    std::uint64_t process_seconds = 0;

    const wchar_t* status = nullptr;
    const wchar_t* mode = nullptr;
    const wchar_t* web_frame = nullptr;
    std::uint32_t message_id = 0;

    // The exception record's parameters (an access violation: write flag, address).
    std::uint32_t parameter_count = 0;
    std::uint64_t parameters[2] = {};

    register_values registers;

    // The 16 bytes at the instruction pointer; a value above 0xFF marks an unreadable byte.
    std::uint16_t code_bytes[16] = {};
};

inline constexpr std::uint16_t unreadable_byte = 0x100;

// Copies the process-wide crash context (status, mode, web frame, message id) into the facts.
void take_crash_context(crash_facts& facts);

// The report from its first line through the module-list line, in the report's order.
void write_report_body(report_writer& writer, const crash_facts& facts);
// The closing line; then the caller flushes.
void write_report_end(report_writer& writer);

// (bytes + 1048575) / 1048576 without overflow.
std::uint64_t mebibytes_rounded_up(std::uint64_t bytes);

struct windows_version_record {
    std::uint32_t platform_id = 0, major = 0, minor = 0, build = 0;
};

struct windows_version_names {
    fixed_text<40> name;
    fixed_text<40> version; // "%u.%u.%u" of major, minor and the low 16 bits of the build
};

// The operating-system name table of the report.
windows_version_names windows_version_text(const windows_version_record& record);

// The file name of a path: the part after the last separator (the whole path without one).
const wchar_t* file_name_part(const wchar_t* path, wchar_t separator);

// A path with its file name replaced; the directory part keeps its trailing separator.
template <std::size_t N>
fixed_text<N> replace_file_name(const wchar_t* path, wchar_t separator, const wchar_t* name) {
    fixed_text<N> result;
    const wchar_t* file = file_name_part(path, separator);
    result.append(path, static_cast<std::size_t>(file - path));
    result.append(name);
    return result;
}

// The executable name of the report: a file name cut at its last ".".
template <std::size_t N> fixed_text<N> strip_extension(const wchar_t* file) {
    fixed_text<N> result(file);
    for (std::size_t i = result.size(); i-- > 0;) {
        if (result.c_str()[i] == L'.') {
            result.truncate(i);
            break;
        }
    }
    return result;
}

// The reporter's one argument: the program display name followed at once by the
// executable's file name.
template <std::size_t N>
fixed_text<N> reporter_argument(const wchar_t* displayName, const wchar_t* executableFile) {
    fixed_text<N> result(displayName);
    result.append(executableFile);
    return result;
}

// The reporter's command line: its path, a blank, then the argument in double quotes.
template <std::size_t N>
fixed_text<N> reporter_command_line(const wchar_t* reporterPath, const wchar_t* displayName,
                                    const wchar_t* executableFile) {
    fixed_text<N> result(reporterPath);
    result.append(L" \"");
    result.append(displayName);
    result.append(executableFile);
    result.append(L"\"");
    return result;
}

// Calendar fields of a count of seconds since 1970-01-01 (proleptic Gregorian).
calendar_time calendar_from_seconds(std::int64_t seconds);

// Splits seconds into days, hours, minutes, seconds.
struct duration_parts {
    std::uint64_t days, hours, minutes, seconds;
};
duration_parts split_duration(std::uint64_t seconds);

} // namespace Core_Common::crash_report
