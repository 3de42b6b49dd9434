#include "Core_SocketARP/linux/PacketArpResolver_linux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

namespace {

using Core_SocketARP::PacketArpResolver;
using std::chrono::milliseconds;

TEST(ArpPace, LabIntervalIsADecimalNumberOfMillisecondsFrom10To1000) {
    const milliseconds standard = PacketArpResolver::arp_interval;
    const std::vector<std::pair<const char*, milliseconds>> cases = {
        {nullptr, standard},
        {"", standard},
        {"10", milliseconds{10}},
        {"250", milliseconds{250}},
        {"1000", milliseconds{1000}},
        {"9", standard},
        {"1001", standard},
        {"-50", standard},
        {"+50", standard},
        {" 50", standard},
        {"50ms", standard},
        {"0x20", standard},
        {"99999999999999999999", standard}};
    for (const auto& [setting, interval] : cases) {
        EXPECT_EQ(PacketArpResolver::ArpIntervalFrom(setting), interval)
            << (setting != nullptr ? setting : "(none)");
    }
}

} // namespace
