#include "Core_Service/SystemdUnit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace Core_Service;
using testing::HasSubstr;
using testing::Not;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

ServiceDefinition Definition() {
    ServiceDefinition definition;
    definition.serviceName = L"Tarnwick AntiARP";
    definition.displayName = L"Tarnwick AntiARP";
    definition.programPath = L"/opt/tarnwick anti arp/antiarp";
    definition.commandLine = L"\"/opt/tarnwick anti arp/antiarp\"";
    return definition;
}

TEST(UnitStem, LowerCasesAndReplacesWhatAUnitNameCannotHold) {
    EXPECT_EQ(UnitStem(L"Tarnwick AntiARP"), "tarnwick-antiarp");
    EXPECT_EQ(UnitStem(L"a/b\\c d_e.f-9"), "a-b-c-d_e.f-9");
    EXPECT_EQ(UnitStem(L"\x00C4x"), "-x");
}

TEST(QuoteUnitPath, QuotesAndEscapesWhatSystemdWouldInterpret) {
    EXPECT_EQ(QuoteUnitPath("/opt/a b/antiarp"), "\"/opt/a b/antiarp\"");
    // Specifiers are expanded in a program's path, variables are not ("$$" would stay "$$").
    EXPECT_EQ(QuoteUnitPath("/x/%h$HOME\"\\"), "\"/x/%%h$HOME\\\"\\\\\"");
    EXPECT_EQ(QuoteUnitPath(std::string("/x\ny")), "\"/x\\x0ay\"");
}

TEST(ExecPathRefusal, NamesWhatSystemdWillNotRunAndShowsThePath) {
    EXPECT_EQ(ExecPathRefusal(L"/opt/a b/antiarp"), L"");
    EXPECT_EQ(ExecPathRefusal(L"/opt/\x00FCber $x %d;/antiarp"), L"");
    const std::wstring prefix = L"systemd does not run a program whose path holds ";
    EXPECT_EQ(ExecPathRefusal(L"/a\"b/antiarp"), prefix + L"a quote: /a\"b/antiarp");
    EXPECT_EQ(ExecPathRefusal(L"/a'b/antiarp"), prefix + L"a quote: /a'b/antiarp");
    EXPECT_EQ(ExecPathRefusal(L"/a\\b/antiarp"), prefix + L"a backslash: /a\\b/antiarp");
    EXPECT_EQ(ExecPathRefusal(L"/a\nb\x7F/antiarp"),
              prefix + L"a control character: /a\\x0ab\\x7f/antiarp");
    // A byte that is not UTF-8, as it comes out of a Linux path (see narrow_to_wide).
    const std::wstring not_utf8 = {L'/', L'a', static_cast<wchar_t>(0xDCFF), L'/', L'x'};
    EXPECT_EQ(ExecPathRefusal(not_utf8), prefix + L"text that is not UTF-8: /a\\xff/x");
}

TEST(UnitFile, RegistersANotifyServiceStartedAtBootAndRestartedAfterACrash) {
    const auto lines = Lines(MakeUnitFile(Definition()));
    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_EQ(lines.front(), "[Unit]");
    EXPECT_TRUE(has("Description=Tarnwick AntiARP"));
    EXPECT_TRUE(has("Type=notify"));
    EXPECT_TRUE(has("ExecStart=\"/opt/tarnwick anti arp/antiarp\""));
    EXPECT_TRUE(has("Documentation=man:antiarp(8)"));
    // A crash (exit code 100, a signal) is followed by a new start; a run that found it must
    // not run (1) or a command line that is no switch (2) are not.
    EXPECT_TRUE(has("Restart=on-failure"));
    EXPECT_TRUE(has("RestartSec=1s"));
    EXPECT_TRUE(has("RestartPreventExitStatus=1 2"));
    EXPECT_TRUE(has("WantedBy=multi-user.target"));
    EXPECT_TRUE(has("RuntimeDirectory=tarnwick-antiarp"));
    EXPECT_TRUE(has("StateDirectory=tarnwick-antiarp"));
    EXPECT_TRUE(has("ConfigurationDirectory=tarnwick-antiarp"));
    EXPECT_TRUE(has("CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_RAW"));
    EXPECT_TRUE(has("NoNewPrivileges=yes"));
    EXPECT_TRUE(has("ProtectSystem=strict"));
    EXPECT_TRUE(has("RestrictAddressFamilies=AF_NETLINK AF_PACKET AF_UNIX"));
}

TEST(UnitFile, DependenciesAreRequiredAndOrderedBefore) {
    auto definition = Definition();
    definition.dependencies = {L"Network Online"};
    const std::string unit = MakeUnitFile(definition);
    EXPECT_THAT(unit,
                HasSubstr("\nRequires=network-online.service\nAfter=network-online.service\n"));
}

TEST(UnitDescription, ReplacesOnlyTheDescriptionLine) {
    const std::string unit = MakeUnitFile(Definition());
    const std::string described = WriteUnitDescription(unit, L"Protect you, 100% of the time.");
    EXPECT_THAT(described, HasSubstr("\nDescription=Protect you, 100%% of the time.\n"));
    EXPECT_THAT(described, Not(HasSubstr("Description=Tarnwick AntiARP")));
    EXPECT_EQ(Lines(described).size(), Lines(unit).size());
}

TEST(UnitDescription, CannotAddLinesToTheUnit) {
    const std::string described =
        WriteUnitDescription(MakeUnitFile(Definition()), L"x\nExecStartPre=/bin/evil\\");
    EXPECT_THAT(described, HasSubstr("\nDescription=x ExecStartPre=/bin/evil\n"));
    for (const auto& line : Lines(described)) {
        EXPECT_NE(line.rfind("ExecStartPre", 0), 0u) << line;
    }
}

} // namespace
