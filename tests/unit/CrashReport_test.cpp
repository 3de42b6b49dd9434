#include "Core_Common/CrashReport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace cr = Core_Common::crash_report;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class recording_sink final : public cr::report_sink {
public:
    void write_units(const wchar_t* units, std::size_t count) override {
        chunks.emplace_back(units, count);
        text.append(units, count);
    }
    std::vector<std::wstring> chunks;
    std::wstring text;
};

std::wstring format(const wchar_t* pattern, std::initializer_list<cr::format_arg> args) {
    wchar_t out[2048];
    const std::size_t count = cr::format_text(out, 2048, pattern, args);
    EXPECT_EQ(std::wcslen(out), count);
    return std::wstring(out, count);
}

std::vector<std::wstring> lines_of(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

cr::crash_facts sample_facts() {
    cr::crash_facts facts;
    facts.executable_name = L"svc";
    facts.executable_path = L"C:\\Svc\\svc.exe";
    facts.module_name = L"svc.exe";
    facts.where = L"";
    facts.code = 0xC0000094u;
    facts.code_segment = 0x1b;
    facts.instruction_pointer = 0x00401234u;
    facts.address_digits = 8;
    facts.time = {true, 2024, 3, 7, 9, 5, 4};
    facts.user_name = L"SYSTEM";
    facts.os_name = L"Windows XP";
    facts.os_version = L"5.1.2600";
    facts.processor_count = 2;
    facts.processor_type = 586;
    facts.memory_load = 42;
    facts.total_physical = 4294967295u;
    facts.available_physical = 1;
    facts.total_page_file = 0;
    facts.available_page_file = 1048576;
    facts.total_virtual = 1048577;
    facts.available_virtual = 2147352576u;
    facts.process_time_known = true;
    facts.process_seconds = 86400 + 2 * 3600 + 3 * 60 + 4;
    facts.registers.layout = cr::register_layout::i386;
    for (std::size_t i = 0; i < 12; ++i) {
        facts.registers.values[i] = (0x11111111u * (i + 1)) & 0xFFFFFFFFu;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        facts.code_bytes[i] = static_cast<std::uint16_t>(0xF0 + i);
    }
    return facts;
}

std::wstring report_of(const cr::crash_facts& facts) {
    recording_sink sink;
    cr::report_writer writer(sink);
    cr::write_report_body(writer, facts);
    cr::write_report_end(writer);
    writer.flush();
    return sink.text;
}

} // namespace

TEST(ExceptionNames, EveryCodeOfTheTableHasItsName) {
    EXPECT_STREQ(cr::describe_exception_code(0x40010005u), L"a Control-C");
    EXPECT_STREQ(cr::describe_exception_code(0x40010008u), L"a Control-Break");
    EXPECT_STREQ(cr::describe_exception_code(0x80000002u), L"a Datatype Misalignment");
    EXPECT_STREQ(cr::describe_exception_code(0x80000003u), L"a Breakpoint");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000005u), L"an Access Violation");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000006u), L"an In Page Error");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000017u), L"a No Memory");
    EXPECT_STREQ(cr::describe_exception_code(0xC000001Du), L"an Illegal Instruction");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000025u), L"a Noncontinuable Exception");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000026u), L"an Invalid Disposition");
    EXPECT_STREQ(cr::describe_exception_code(0xC000008Cu), L"a Array Bounds Exceeded");
    EXPECT_STREQ(cr::describe_exception_code(0xC000008Du), L"a Float Denormal Operand");
    EXPECT_STREQ(cr::describe_exception_code(0xC000008Eu), L"a Float Divide by Zero");
    EXPECT_STREQ(cr::describe_exception_code(0xC000008Fu), L"a Float Inexact Result");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000090u), L"a Float Invalid Operation");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000091u), L"a Float Overflow");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000092u), L"a Float Stack Check");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000093u), L"a Float Underflow");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000094u), L"an Integer Divide by Zero");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000095u), L"an Integer Overflow");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000096u), L"a Privileged Instruction");
    EXPECT_STREQ(cr::describe_exception_code(0xC00000FDu), L"a Stack Overflow");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000142u), L"a DLL Initialization Failed");
    EXPECT_STREQ(cr::describe_exception_code(0xE06D7363u), L"a Microsoft C++ Exception");
}

TEST(ExceptionNames, UnknownCodesHaveTheUnknownName) {
    EXPECT_STREQ(cr::describe_exception_code(0), L"an Unknown exception type");
    EXPECT_STREQ(cr::describe_exception_code(0xC0000004u), L"an Unknown exception type");
    EXPECT_STREQ(cr::describe_exception_code(0xFFFFFFFFu), L"an Unknown exception type");
}

TEST(ReportFormat, ConversionsMatchThePlatformFormatter) {
    EXPECT_EQ(format(L"%s caused %s", {L"svc", L"a Breakpoint"}), L"svc caused a Breakpoint");
    EXPECT_EQ(format(L"(0x%08x)", {0xC0000094u}), L"(0xc0000094)");
    EXPECT_EQ(format(L"%04x:%08x", {0x1bu, 0x401000u}), L"001b:00401000");
    EXPECT_EQ(format(L"%X", {0xabcu}), L"ABC");
    EXPECT_EQ(format(L"%d %d %u", {-5, 17, 4000000000u}), L"-5 17 4000000000");
    EXPECT_EQ(format(L"%02d:%02d", {7, 12}), L"07:12");
    EXPECT_EQ(format(L"%d%%", {42}), L"42%");
    EXPECT_EQ(format(L"%02x ", {0x0Au}), L"0a ");
    EXPECT_EQ(format(L"%016llx", {std::uint64_t{0x7ffd12345678u}}), L"00007ffd12345678");
    EXPECT_EQ(format(L"%x", {std::uint64_t{0x123456789u}}), L"23456789");
    EXPECT_EQ(format(L"%x", {-1}), L"ffffffff");
}

TEST(ReportFormat, AbsentTextsAndMissingValuesPrintNothing) {
    EXPECT_EQ(format(L"[%s]", {static_cast<const wchar_t*>(nullptr)}), L"[]");
    EXPECT_EQ(format(L"[%d][%s]", {5}), L"[5][]");
    EXPECT_EQ(format(L"[%d]", {L"text"}), L"[]");
}

TEST(ReportFormat, OutputIsCutAtTheCapacity) {
    wchar_t out[8];
    EXPECT_EQ(cr::format_text(out, 8, L"%s", {L"0123456789"}), 7u);
    EXPECT_STREQ(out, L"0123456");
}

TEST(ReportWriter, OneAppendFormatsAtMost1024Units) {
    recording_sink sink;
    cr::report_writer writer(sink);
    const std::wstring longText(3000, L'x');
    writer.append(L"%s", {longText.c_str()});
    EXPECT_EQ(writer.pending(), 1024);
    writer.flush();
    EXPECT_EQ(sink.text, std::wstring(1024, L'x'));
}

TEST(ReportWriter, LongReportArrivesCompleteAndInOrderInPieces) {
    recording_sink sink;
    cr::report_writer writer(sink);
    std::wstring expected;
    for (int i = 0; i < 40000; ++i) {
        writer.append(L"line %d\r\n", {i});
        expected += L"line " + std::to_wstring(i) + L"\r\n";
    }
    writer.flush();
    ASSERT_GT(expected.size(), 2 * cr::report_writer::flush_threshold);
    EXPECT_EQ(sink.text, expected);
    ASSERT_GE(sink.chunks.size(), 3u);
    for (std::size_t i = 0; i + 1 < sink.chunks.size(); ++i) {
        EXPECT_GT(sink.chunks[i].size(), cr::report_writer::flush_threshold);
        EXPECT_LE(sink.chunks[i].size(), cr::report_writer::buffer_units);
    }
}

TEST(ReportWriter, NothingIsWrittenBeforeTheThresholdOrAFlush) {
    recording_sink sink;
    cr::report_writer writer(sink);
    writer.append(L"short");
    EXPECT_TRUE(sink.chunks.empty());
    writer.flush();
    writer.flush();
    ASSERT_EQ(sink.chunks.size(), 1u);
    EXPECT_EQ(writer.pending(), 0);
}

class ReportText : public ::testing::Test {
protected:
    cr::crash_facts facts = sample_facts();
};

TEST_F(ReportText, FirstLinesNameTheExceptionAndTheFaultingModule) {
    const auto lines = lines_of(report_of(facts));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"svc caused an Integer Divide by Zero (0xc0000094) ");
    EXPECT_EQ(lines[1], L"in module svc.exe at 001b:00401234.");
    EXPECT_EQ(lines[2], L"");
    EXPECT_EQ(lines[3], L"Exception handler called in .");
}

TEST_F(ReportText, SystemBlockInItsOrder) {
    const auto lines = lines_of(report_of(facts));
    const std::vector<std::wstring> expected = {
        L"Error occurred at 3/7/2024 09:05:04.",
        L"C:\\Svc\\svc.exe, run by SYSTEM.",
        L"Operating system:  Windows XP (5.1.2600).",
        L"2 processor(s), type 586.",
        L"42% memory in use.",
        L"4096 MBytes physical memory.",
        L"1 MBytes physical memory free.",
        L"0 MBytes paging file.",
        L"1 MBytes paging file free.",
        L"2 MBytes user address space.",
        L"2048 MBytes user address space free.",
        L"",
        L"Process execute time: 1 day 2:3:4",
        L"Program status: ",
        L"Program mode: ",
        L"Socket init version: n/a",
        L"web frame: ",
        L"msg id: 0",
        L"",
    };
    ASSERT_GE(lines.size(), 4 + expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[4 + i], expected[i]) << "line " << 4 + i;
    }
}

TEST_F(ReportText, UnknownTimeAndProcessTimeAreLeftOut) {
    facts.time.known = false;
    facts.process_time_known = false;
    const std::wstring text = report_of(facts);
    EXPECT_THAT(text, HasSubstr(L"Error occurred at .\r\n"));
    EXPECT_EQ(text.find(L"Process execute time"), std::wstring::npos);
    EXPECT_THAT(text, HasSubstr(L"address space free.\r\n\r\nProgram status: "));
}

TEST_F(ReportText, CrashContextTextsArePrinted) {
    facts.status = L"running";
    facts.mode = L"debug";
    facts.web_frame = L"none";
    facts.message_id = 4000000000u;
    const std::wstring text = report_of(facts);
    EXPECT_THAT(text, HasSubstr(L"Program status: running\r\nProgram mode: debug\r\n"));
    EXPECT_THAT(text, HasSubstr(L"web frame: none\r\nmsg id: 4000000000\r\n"));
}

TEST_F(ReportText, AccessViolationNamesDirectionAndAddress) {
    facts.code = cr::code_access_violation;
    facts.parameter_count = 2;
    facts.parameters[0] = 0;
    facts.parameters[1] = 0;
    EXPECT_THAT(report_of(facts),
                HasSubstr(L"msg id: 0\r\n\r\nRead from location 00000000 caused an access "
                          L"violation.\r\n\r\nContext:\r\n"));
    facts.parameters[0] = 1;
    facts.parameters[1] = 0x12345678u;
    EXPECT_THAT(report_of(facts),
                HasSubstr(L"Write to location 12345678 caused an access violation.\r\n"));
}

TEST_F(ReportText, AccessViolationLineNeedsTwoParametersAndTheCode) {
    facts.code = cr::code_access_violation;
    facts.parameter_count = 1;
    EXPECT_EQ(report_of(facts).find(L"caused an access violation"), std::wstring::npos);
    facts.code = 0xC0000094u;
    facts.parameter_count = 2;
    EXPECT_EQ(report_of(facts).find(L"caused an access violation"), std::wstring::npos);
}

TEST_F(ReportText, RegisterBlockOfA32BitProcess) {
    EXPECT_THAT(report_of(facts),
                HasSubstr(L"\r\nContext:\r\n"
                          L"EDI:    0x11111111  ESI: 0x22222222  EAX:   0x33333333\r\n"
                          L"EBX:    0x44444444  ECX: 0x55555555  EDX:   0x66666666\r\n"
                          L"EIP:    0x77777777  EBP: 0x88888888  SegCs: 0x99999999\r\n"
                          L"EFlags: 0xaaaaaaaa  ESP: 0xbbbbbbbb  SegSs: 0xcccccccc\r\n"
                          L"\r\nBytes at CS:EIP:\r\n"));
}

TEST_F(ReportText, RegisterBlockOfA64BitProcess) {
    facts.address_digits = 16;
    facts.instruction_pointer = 0x5555deadbeefu;
    facts.registers.layout = cr::register_layout::x86_64;
    facts.registers.values[6] = 0x5555deadbeefu;
    facts.registers.values[10] = 0x7ffc00001000u;
    const std::wstring text = report_of(facts);
    EXPECT_THAT(text, HasSubstr(L"in module svc.exe at 001b:00005555deadbeef.\r\n"));
    EXPECT_THAT(text, HasSubstr(L"RIP:    0x00005555deadbeef  RBP: 0x0000000088888888"));
    EXPECT_THAT(text, HasSubstr(L"RSP: 0x00007ffc00001000\r\n"));
    EXPECT_THAT(text, HasSubstr(L"R14:    0x"));
}

TEST_F(ReportText, CodeBytesAndTheClosingLines) {
    const std::wstring text = report_of(facts);
    EXPECT_THAT(text, HasSubstr(L"Bytes at CS:EIP:\r\nf0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd "
                                L"fe ff \r\n\r\nStack: [Ignore]\r\n\r\nModule List: [Ignore]\r\n"
                                L"\r\n===== [end of CRASHLOG.TXT] =====\r\n"));
    EXPECT_EQ(text.size() - text.rfind(L"=====\r\n"), 7u);
}

TEST_F(ReportText, UnreadableInstructionBytesAreQuestionMarks) {
    for (auto& byte : facts.code_bytes) {
        byte = cr::unreadable_byte;
    }
    std::wstring sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen += L"?? ";
    }
    EXPECT_THAT(report_of(facts), HasSubstr(L"Bytes at CS:EIP:\r\n" + sixteen + L"\r\n"));
}

TEST_F(ReportText, AbsentTextsLeaveTheirPlaceEmpty) {
    cr::crash_facts empty;
    empty.code = 0x12345678u;
    const auto lines = lines_of(report_of(empty));
    EXPECT_EQ(lines[0], L" caused an Unknown exception type (0x12345678) ");
    EXPECT_EQ(lines[1], L"in module  at 0000:00000000.");
}

TEST(ReportMemory, MebibytesAreRoundedUp) {
    EXPECT_EQ(cr::mebibytes_rounded_up(0), 0u);
    EXPECT_EQ(cr::mebibytes_rounded_up(1), 1u);
    EXPECT_EQ(cr::mebibytes_rounded_up(1048576), 1u);
    EXPECT_EQ(cr::mebibytes_rounded_up(1048577), 2u);
    EXPECT_EQ(cr::mebibytes_rounded_up(4294967295u), 4096u);
    EXPECT_EQ(cr::mebibytes_rounded_up(0xFFFFFFFFFFFFFFFFu), 17592186044416u);
}

struct version_case {
    std::uint32_t platform, major, minor, build;
    const wchar_t* name;
};

class WindowsVersionTable : public ::testing::TestWithParam<version_case> {};

TEST_P(WindowsVersionTable, NamesTheSystem) {
    const version_case& c = GetParam();
    const auto names = cr::windows_version_text({c.platform, c.major, c.minor, c.build});
    EXPECT_STREQ(names.name.c_str(), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WindowsVersionTable,
    ::testing::Values(version_case{1, 4, 0, 950, L"Windows 95"},
                      version_case{1, 4, 0, 951, L"Windows 95 SP1"},
                      version_case{1, 4, 3, 1080, L"Windows 95 SP1"},
                      version_case{1, 4, 0, 1081, L"Windows 95 OSR2"},
                      version_case{1, 4, 0, 949, L"unknown Windows version"},
                      version_case{1, 4, 10, 1998, L"Windows 98"},
                      version_case{1, 4, 10, 1999, L"Windows 98 SP1"},
                      version_case{1, 4, 10, 2182, L"Windows 98 SP1"},
                      version_case{1, 4, 10, 2183, L"Windows 98 SE"},
                      version_case{1, 4, 10, 1997, L"unknown Windows version"},
                      version_case{1, 4, 90, 3000, L"Windows ME"},
                      version_case{1, 4, 50, 3000, L"unknown Windows version"},
                      version_case{2, 3, 51, 1057, L"Windows NT 3.51"},
                      version_case{2, 4, 0, 1381, L"Windows NT 4"},
                      version_case{2, 5, 0, 2195, L"Windows 2000"},
                      version_case{2, 5, 1, 2600, L"Windows XP"},
                      version_case{2, 5, 2, 3790, L"Windows 2003 Server"},
                      version_case{2, 6, 0, 6000, L"unknown Windows version"},
                      version_case{2, 10, 0, 19045, L"unknown Windows version"},
                      version_case{3, 7, 0, 1, L"Windows CE"},
                      version_case{0, 4, 0, 950, L"unknown Windows version"},
                      // The build's high 16 bits carry other data on the 9x family.
                      version_case{1, 4, 10, 0x040A07CEu, L"Windows 98"}),
    [](const ::testing::TestParamInfo<version_case>& info) {
        const version_case& c = info.param;
        return "platform" + std::to_string(c.platform) + "_" + std::to_string(c.major) + "_" +
               std::to_string(c.minor) + "_build" + std::to_string(c.build);
    });

TEST(WindowsVersion, VersionTextUsesTheLow16BitsOfTheBuild) {
    EXPECT_STREQ(cr::windows_version_text({2, 5, 1, 2600}).version.c_str(), L"5.1.2600");
    EXPECT_STREQ(cr::windows_version_text({2, 6, 0, 6000}).version.c_str(), L"6.0.6000");
    EXPECT_STREQ(cr::windows_version_text({1, 4, 10, 0x040A08AEu}).version.c_str(), L"4.10.2222");
}

TEST(ReportPaths, FileNameIsThePartAfterTheLastSeparator) {
    EXPECT_STREQ(cr::file_name_part(L"C:\\Svc\\svc.exe", L'\\'), L"svc.exe");
    EXPECT_STREQ(cr::file_name_part(L"svc.exe", L'\\'), L"svc.exe");
    EXPECT_STREQ(cr::file_name_part(L"C:\\Svc\\", L'\\'), L"");
    EXPECT_STREQ(cr::file_name_part(L"/opt/tw/antiarp", L'/'), L"antiarp");
}

TEST(ReportPaths, CrashFilesReplaceTheExecutablesFileName) {
    EXPECT_STREQ(cr::replace_file_name<64>(L"C:\\Svc\\svc.exe", L'\\', L"CRASH.DMP").c_str(),
                 L"C:\\Svc\\CRASH.DMP");
    EXPECT_STREQ(cr::replace_file_name<64>(L"Unknown", L'\\', L"CRASHLOG.TXT").c_str(),
                 L"CRASHLOG.TXT");
}

TEST(ReportPaths, ExecutableNameIsCutAtItsLastDot) {
    EXPECT_STREQ(cr::strip_extension<32>(L"svc.exe").c_str(), L"svc");
    EXPECT_STREQ(cr::strip_extension<32>(L"my.svc.exe").c_str(), L"my.svc");
    EXPECT_STREQ(cr::strip_extension<32>(L"antiarp").c_str(), L"antiarp");
}

TEST(ReportPaths, ReporterCommandLineQuotesDisplayNameAndFileName) {
    const auto path = cr::replace_file_name<64>(L"C:\\Svc\\svc.exe", L'\\', L"CrashReport.exe");
    EXPECT_STREQ(
        cr::reporter_command_line<128>(path.c_str(), L"Tarnwick ARP Protect 1.0", L"svc.exe")
            .c_str(),
        L"C:\\Svc\\CrashReport.exe \"Tarnwick ARP Protect 1.0svc.exe\"");
    EXPECT_STREQ(cr::reporter_argument<64>(L"Tarnwick ARP Protect 1.0", L"antiarp").c_str(),
                 L"Tarnwick ARP Protect 1.0antiarp");
}

TEST(ReportPaths, FixedTextCutsWhatDoesNotFit) {
    cr::fixed_text<5> text(L"abcdefg");
    EXPECT_STREQ(text.c_str(), L"abcd");
    EXPECT_EQ(text.size(), 4u);
    text.truncate(2);
    text.append(L"Z");
    EXPECT_STREQ(text.c_str(), L"abZ");
}

TEST(ReportTime, CalendarOfUnixSeconds) {
    const cr::calendar_time epoch = cr::calendar_from_seconds(0);
    EXPECT_EQ(epoch.year, 1970);
    EXPECT_EQ(epoch.month, 1);
    EXPECT_EQ(epoch.day, 1);
    // 2024-02-29 23:59:58, a leap day.
    const cr::calendar_time leap = cr::calendar_from_seconds(1709251198);
    EXPECT_EQ(leap.year, 2024);
    EXPECT_EQ(leap.month, 2);
    EXPECT_EQ(leap.day, 29);
    EXPECT_EQ(leap.hour, 23);
    EXPECT_EQ(leap.minute, 59);
    EXPECT_EQ(leap.second, 58);
    const cr::calendar_time before = cr::calendar_from_seconds(-1);
    EXPECT_EQ(before.year, 1969);
    EXPECT_EQ(before.month, 12);
    EXPECT_EQ(before.day, 31);
    EXPECT_EQ(before.second, 59);
}

TEST(ReportTime, DurationSplitsIntoDaysHoursMinutesSeconds) {
    const cr::duration_parts parts = cr::split_duration(93784);
    EXPECT_EQ(parts.days, 1u);
    EXPECT_EQ(parts.hours, 2u);
    EXPECT_EQ(parts.minutes, 3u);
    EXPECT_EQ(parts.seconds, 4u);
}
