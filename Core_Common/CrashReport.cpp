#include "Core_Common/CrashReport.h"

#include "Core_Common/CrashSettings.h"

namespace Core_Common::crash_report {
namespace {

struct exception_name {
    std::uint32_t code;
    const wchar_t* text;
};

constexpr exception_name exception_names[] = {
    {0x40010005u, L"a Control-C"},
    {0x40010008u, L"a Control-Break"},
    {0x80000002u, L"a Datatype Misalignment"},
    {0x80000003u, L"a Breakpoint"},
    {0xC0000005u, L"an Access Violation"},
    {0xC0000006u, L"an In Page Error"},
    {0xC0000017u, L"a No Memory"},
    {0xC000001Du, L"an Illegal Instruction"},
    {0xC0000025u, L"a Noncontinuable Exception"},
    {0xC0000026u, L"an Invalid Disposition"},
    {0xC000008Cu, L"a Array Bounds Exceeded"},
    {0xC000008Du, L"a Float Denormal Operand"},
    {0xC000008Eu, L"a Float Divide by Zero"},
    {0xC000008Fu, L"a Float Inexact Result"},
    {0xC0000090u, L"a Float Invalid Operation"},
    {0xC0000091u, L"a Float Overflow"},
    {0xC0000092u, L"a Float Stack Check"},
    {0xC0000093u, L"a Float Underflow"},
    {0xC0000094u, L"an Integer Divide by Zero"},
    {0xC0000095u, L"an Integer Overflow"},
    {0xC0000096u, L"a Privileged Instruction"},
    {0xC00000FDu, L"a Stack Overflow"},
    {0xC0000142u, L"a DLL Initialization Failed"},
    {0xE06D7363u, L"a Microsoft C++ Exception"},
};

class output {
public:
    output(wchar_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void put(wchar_t unit) {
        if (length_ + 1 < capacity_) {
            out_[length_++] = unit;
        }
    }
    std::size_t finish() {
        if (capacity_ > 0) {
            out_[length_] = L'\0';
        }
        return length_;
    }

private:
    wchar_t* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

void put_padded(output& out, const wchar_t* digits, std::size_t count, unsigned width,
                wchar_t pad) {
    for (std::size_t i = count; i < width; ++i) {
        out.put(pad);
    }
    for (std::size_t i = 0; i < count; ++i) {
        out.put(digits[i]);
    }
}

void put_number(output& out, std::uint64_t magnitude, bool negative, unsigned base, bool upper,
                unsigned width, bool zeroPad) {
    const wchar_t* digitSet = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    wchar_t reversed[24];
    std::size_t count = 0;
    do {
        reversed[count++] = digitSet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    wchar_t digits[25];
    std::size_t length = 0;
    if (negative) {
        if (zeroPad) {
            out.put(L'-');
            width = width > 0 ? width - 1 : 0;
        } else {
            digits[length++] = L'-';
        }
    }
    while (count > 0) {
        digits[length++] = reversed[--count];
    }
    put_padded(out, digits, length, width, zeroPad ? L'0' : L' ');
}

void append_number(fixed_text<16>& text, std::uint32_t value) {
    wchar_t digits[16];
    const std::size_t count = format_text(digits, 16, L"%u", {value});
    text.append(digits, count);
}

void write_registers(report_writer& writer, const register_values& registers) {
    const std::uint64_t* v = registers.values;
    switch (registers.layout) {
    case register_layout::i386:
        writer.append(L"EDI:    0x%08x  ESI: 0x%08x  EAX:   0x%08x\r\n", {v[0], v[1], v[2]});
        writer.append(L"EBX:    0x%08x  ECX: 0x%08x  EDX:   0x%08x\r\n", {v[3], v[4], v[5]});
        writer.append(L"EIP:    0x%08x  EBP: 0x%08x  SegCs: 0x%08x\r\n", {v[6], v[7], v[8]});
        writer.append(L"EFlags: 0x%08x  ESP: 0x%08x  SegSs: 0x%08x\r\n", {v[9], v[10], v[11]});
        break;
    case register_layout::x86_64:
        writer.append(L"RDI:    0x%016llx  RSI: 0x%016llx  RAX:   0x%016llx\r\n",
                      {v[0], v[1], v[2]});
        writer.append(L"RBX:    0x%016llx  RCX: 0x%016llx  RDX:   0x%016llx\r\n",
                      {v[3], v[4], v[5]});
        writer.append(L"RIP:    0x%016llx  RBP: 0x%016llx  SegCs: 0x%08x\r\n", {v[6], v[7], v[8]});
        writer.append(L"EFlags: 0x%08x          RSP: 0x%016llx\r\n", {v[9], v[10]});
        writer.append(L"R8:     0x%016llx  R9:  0x%016llx  R10:   0x%016llx\r\n",
                      {v[12], v[13], v[14]});
        writer.append(L"R11:    0x%016llx  R12: 0x%016llx  R13:   0x%016llx\r\n",
                      {v[15], v[16], v[17]});
        writer.append(L"R14:    0x%016llx  R15: 0x%016llx\r\n", {v[18], v[19]});
        break;
    case register_layout::none:
        break;
    }
}

} // namespace

const wchar_t* describe_exception_code(std::uint32_t code) {
    for (const auto& entry : exception_names) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return L"an Unknown exception type";
}

std::size_t format_text(wchar_t* out, std::size_t capacity, const wchar_t* format,
                        std::initializer_list<format_arg> args) {
    output result(out, capacity);
    const format_arg* next = args.begin();
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            result.put(*p);
            continue;
        }
        ++p;
        if (*p == L'%') {
            result.put(L'%');
            continue;
        }
        bool zeroPad = false;
        if (*p == L'0') {
            zeroPad = true;
            ++p;
        }
        unsigned width = 0;
        while (*p >= L'0' && *p <= L'9') {
            width = width * 10 + static_cast<unsigned>(*p - L'0');
            ++p;
        }
        int longs = 0;
        while (*p == L'l') {
            ++longs;
            ++p;
        }
        if (*p == L'\0') {
            break;
        }
        const bool wide = longs >= 2;
        const format_arg* arg = next != args.end() ? next++ : nullptr;
        if (arg == nullptr) {
            continue;
        }
        switch (*p) {
        case L's': {
            const wchar_t* text = arg->text();
            std::size_t length = 0;
            while (text != nullptr && text[length] != L'\0') {
                ++length;
            }
            put_padded(result, text, length, width, L' ');
            break;
        }
        case L'd':
        case L'i': {
            if (arg->is_text()) {
                break;
            }
            const std::int64_t value =
                wide ? static_cast<std::int64_t>(arg->bits())
                     : static_cast<std::int64_t>(static_cast<std::int32_t>(arg->bits()));
            const bool negative = value < 0;
            const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value)
                                                     : static_cast<std::uint64_t>(value);
            put_number(result, magnitude, negative, 10, false, width, zeroPad);
            break;
        }
        case L'u':
        case L'x':
        case L'X': {
            if (arg->is_text()) {
                break;
            }
            const std::uint64_t value = wide ? arg->bits() : (arg->bits() & 0xFFFFFFFFu);
            put_number(result, value, false, *p == L'u' ? 10 : 16, *p == L'X', width, zeroPad);
            break;
        }
        default:
            break;
        }
    }
    return result.finish();
}

void report_writer::append(const wchar_t* format, std::initializer_list<format_arg> args) {
    if (static_cast<std::size_t>(pending_) > flush_threshold) {
        flush();
    }
    const std::size_t written = format_text(buffer_ + pending_, step_units + 1, format, args);
    pending_ += static_cast<std::int32_t>(written);
}

void report_writer::flush() {
    if (pending_ > 0 && sink_ != nullptr) {
        sink_->write_units(buffer_, static_cast<std::size_t>(pending_));
    }
    pending_ = 0;
}

std::uint64_t mebibytes_rounded_up(std::uint64_t bytes) {
    return bytes / 1048576u + (bytes % 1048576u != 0 ? 1 : 0);
}

void write_report_body(report_writer& writer, const crash_facts& facts) {
    const bool wide = facts.address_digits > 8;
    writer.append(wide ? L"%s caused %s (0x%08x) \r\nin module %s at %04x:%016llx.\r\n\r\n"
                       : L"%s caused %s (0x%08x) \r\nin module %s at %04x:%08x.\r\n\r\n",
                  {facts.executable_name, describe_exception_code(facts.code), facts.code,
                   facts.module_name, facts.code_segment, facts.instruction_pointer});
    writer.append(L"Exception handler called in %s.\r\n", {facts.where});

    wchar_t time[64] = {};
    if (facts.time.known) {
        format_text(time, 64, L"%d/%d/%d %02d:%02d:%02d",
                    {facts.time.month, facts.time.day, facts.time.year, facts.time.hour,
                     facts.time.minute, facts.time.second});
    }
    writer.append(L"Error occurred at %s.\r\n", {time});
    writer.append(L"%s, run by %s.\r\n", {facts.executable_path, facts.user_name});
    writer.append(L"Operating system:  %s (%s).\r\n", {facts.os_name, facts.os_version});
    writer.append(L"%d processor(s), type %d.\r\n", {facts.processor_count, facts.processor_type});
    writer.append(L"%d%% memory in use.\r\n", {facts.memory_load});
    writer.append(L"%d MBytes physical memory.\r\n", {mebibytes_rounded_up(facts.total_physical)});
    writer.append(L"%d MBytes physical memory free.\r\n",
                  {mebibytes_rounded_up(facts.available_physical)});
    writer.append(L"%d MBytes paging file.\r\n", {mebibytes_rounded_up(facts.total_page_file)});
    writer.append(L"%d MBytes paging file free.\r\n",
                  {mebibytes_rounded_up(facts.available_page_file)});
    writer.append(L"%d MBytes user address space.\r\n",
                  {mebibytes_rounded_up(facts.total_virtual)});
    writer.append(L"%d MBytes user address space free.\r\n",
                  {mebibytes_rounded_up(facts.available_virtual)});
    writer.append(L"\r\n");
    if (facts.process_time_known) {
        const duration_parts parts = split_duration(facts.process_seconds);
        writer.append(L"Process execute time: %d day %d:%d:%d\r\n",
                      {parts.days, parts.hours, parts.minutes, parts.seconds});
    }
    writer.append(L"Program status: %s\r\n", {facts.status});
    writer.append(L"Program mode: %s\r\n", {facts.mode});
    writer.append(L"Socket init version: %s\r\n", {L"n/a"});
    writer.append(L"web frame: %s\r\n", {facts.web_frame});
    writer.append(L"msg id: %u\r\n", {facts.message_id});
    writer.append(L"\r\n");

    if (facts.code == code_access_violation && facts.parameter_count >= 2) {
        wchar_t line[128] = {};
        format_text(line, 128,
                    wide ? L"%s location %016llx caused an access violation.\r\n"
                         : L"%s location %08x caused an access violation.\r\n",
                    {facts.parameters[0] != 0 ? L"Write to" : L"Read from", facts.parameters[1]});
        writer.append(L"%s", {line});
    }

    writer.append(L"\r\n");
    writer.append(L"Context:\r\n");
    write_registers(writer, facts.registers);

    writer.append(L"\r\nBytes at CS:EIP:\r\n");
    for (std::uint16_t byte : facts.code_bytes) {
        if (byte > 0xFF) {
            writer.append(L"?? ");
        } else {
            writer.append(L"%02x ", {byte});
        }
    }
    writer.append(L"\r\n\r\nStack: [Ignore]\r\n\r\n");
    writer.append(L"Module List: [Ignore]\r\n");
}

void write_report_end(report_writer& writer) {
    writer.append(L"\r\n===== [end of %s] =====\r\n", {report_file_name});
}

windows_version_names windows_version_text(const windows_version_record& record) {
    windows_version_names names;
    names.name.append(L"unknown Windows version");
    const std::uint32_t build = record.build & 0xFFFFu;
    fixed_text<16> number;
    append_number(number, record.major);
    names.version.append(number.c_str()).append(L".");
    number.clear();
    append_number(number, record.minor);
    names.version.append(number.c_str()).append(L".");
    number.clear();
    append_number(number, build);
    names.version.append(number.c_str());

    const wchar_t* name = nullptr;
    if (record.platform_id == 1 && record.major == 4) {
        if (record.minor < 10) {
            if (build == 950) {
                name = L"Windows 95";
            } else if (build > 950 && build <= 1080) {
                name = L"Windows 95 SP1";
            } else if (build > 1080) {
                name = L"Windows 95 OSR2";
            }
        } else if (record.minor == 10) {
            if (build == 1998) {
                name = L"Windows 98";
            } else if (build > 1998 && build < 2183) {
                name = L"Windows 98 SP1";
            } else if (build >= 2183) {
                name = L"Windows 98 SE";
            }
        } else if (record.minor == 90) {
            name = L"Windows ME";
        }
    } else if (record.platform_id == 2) {
        if (record.major == 3 && record.minor == 51) {
            name = L"Windows NT 3.51";
        } else if (record.major == 4 && record.minor == 0) {
            name = L"Windows NT 4";
        } else if (record.major == 5 && record.minor == 0) {
            name = L"Windows 2000";
        } else if (record.major == 5 && record.minor == 1) {
            name = L"Windows XP";
        } else if (record.major == 5 && record.minor == 2) {
            name = L"Windows 2003 Server";
        }
    } else if (record.platform_id == 3) {
        name = L"Windows CE";
    }
    if (name != nullptr) {
        names.name.clear();
        names.name.append(name);
    }
    return names;
}

const wchar_t* file_name_part(const wchar_t* path, wchar_t separator) {
    const wchar_t* file = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == separator) {
            file = p + 1;
        }
    }
    return file;
}

calendar_time calendar_from_seconds(std::int64_t seconds) {
    // Days to civil date after H. Hinnant's public-domain algorithm.
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    calendar_time time;
    time.known = true;
    time.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    time.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    time.year = static_cast<int>(yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0));
    time.hour = static_cast<int>(rest / 3600);
    time.minute = static_cast<int>(rest % 3600 / 60);
    time.second = static_cast<int>(rest % 60);
    return time;
}

duration_parts split_duration(std::uint64_t seconds) {
    return {seconds / 86400, seconds % 86400 / 3600, seconds % 3600 / 60, seconds % 60};
}

void take_crash_context(crash_facts& facts) {
    const crash_settings::context_texts context = crash_settings::context();
    facts.status = context.status;
    facts.mode = context.mode;
    facts.web_frame = context.web_frame;
    facts.message_id = context.message_id;
}

} // namespace Core_Common::crash_report
