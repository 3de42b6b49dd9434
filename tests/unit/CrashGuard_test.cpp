#include "Core_Common/CrashGuard.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class CrashGuardSettings : public ::testing::Test {
protected:
    void SetUp() override {
        savedName = Core_Common::program_display_name();
        savedDirectory = Core_Common::crash_directory();
    }
    void TearDown() override {
        Core_Common::set_program_display_name(savedName);
        Core_Common::set_crash_directory(savedDirectory);
    }

    std::wstring savedName;
    std::wstring savedDirectory;
};

} // namespace

TEST(CrashGuard, GuardedBodyRunsOnTheCallingThreadAndReturns) {
    int calls = 0;
    std::thread::id ranOn;
    Core_Common::RunGuarded([&] {
        ++calls;
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(CrashGuard, GuardsNest) {
    int depth = 0;
    Core_Common::RunGuarded([&] { Core_Common::RunGuarded([&] { depth = 2; }); });
    EXPECT_EQ(depth, 2);
}

TEST_F(CrashGuardSettings, DisplayNameIsKeptAsSet) {
    Core_Common::set_program_display_name(L"Tarnwick ARP Protect 1.0");
    EXPECT_EQ(Core_Common::program_display_name(), L"Tarnwick ARP Protect 1.0");
}

TEST_F(CrashGuardSettings, CrashDirectoryDefaultsToTheExecutablesFolder) {
    EXPECT_EQ(savedDirectory, L"");
    Core_Common::set_crash_directory(L"/var/lib/antiarp");
    EXPECT_EQ(Core_Common::crash_directory(), L"/var/lib/antiarp");
}
