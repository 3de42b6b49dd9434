#include "Core_SocketARP/PinStatus.h"

#include "Core_Service/CommandLine.h"
#include "Core_SocketARP/StatusReport.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/FakeStateStore.h"
#include "fakes/ServiceFakes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::HardwareAddress;
using Core_SocketARP::PinStatus;
using Core_SocketARP::PinVerdict;
using tw_test::FakeNetworkStack;
using tw_test::FakeStateStore;

const std::wstring status_service_name = L"Tarnwick AntiARP";
const HardwareAddress status_gateway_mac = {0x02, 0, 0, 0, 0, 0x01};
const HardwareAddress status_other_mac = {0x02, 0, 0, 0, 0, 0x66};

std::string Remembered(const std::string& mac) {
    return "tarnwick-antiarp gateways 2\neth0 ipv4 10.0.0.1 " + mac + " 2026-01-01T00:00:00Z\n";
}

// The report of one scene, read over the fakes, with what it did to them.
struct Scene {
    Scene() {
        stack.interfaces = {7, 8};
        // No gateway, as Windows lists it.
        stack.adapters = {AdapterInfo{7, "10.0.0.1", "10.0.0.2", "eth0", {}, 24},
                          AdapterInfo{8, "0.0.0.0", "", "eth1", {}, 0}};
    }

    PinStatus Read() {
        return Core_SocketARP::ReadPinStatus(manager, status_service_name, stack, &remembered,
                                             {&trusted});
    }

    tw_test::CallJournal journal;
    tw_test::FakeServiceManager manager{journal};
    FakeNetworkStack stack;
    FakeStateStore remembered;
    FakeStateStore trusted;
};

struct VerdictCase {
    const char* what;
    std::optional<HardwareAddress> pinned;
    std::optional<std::string> remembered; // the MAC in the remembered gateways' text
    std::optional<std::string> trusted;    // the MAC in the trusted gateways' text
    bool tableFails;
    PinVerdict verdict;
};

// Every verdict, and the exit code a monitoring check gets: 0 only when every pin is the trusted
// or remembered MAC.
TEST(PinStatus, EachGatewaysVerdictAndTheExitCode) {
    const VerdictCase cases[] = {
        {"trusted", status_gateway_mac, std::nullopt, "02-00-00-00-00-01", false,
         PinVerdict::pinned_trusted},
        {"trusted wins over remembered", status_gateway_mac, "02:00:00:00:00:66", "020000000001",
         false, PinVerdict::pinned_trusted},
        {"remembered", status_gateway_mac, "02:00:00:00:00:01", std::nullopt, false,
         PinVerdict::pinned_remembered},
        {"another than the remembered", status_other_mac, "02:00:00:00:00:01", std::nullopt, false,
         PinVerdict::pinned_other},
        {"another than the trusted", status_other_mac, "02:00:00:00:00:66", "02:00:00:00:00:01",
         false, PinVerdict::pinned_other},
        {"nothing known", status_gateway_mac, std::nullopt, std::nullopt, false,
         PinVerdict::nothing_known},
        {"remembered, not pinned", std::nullopt, "02:00:00:00:00:01", std::nullopt, false,
         PinVerdict::not_pinned},
        {"trusted, not pinned", std::nullopt, std::nullopt, "02:00:00:00:00:01", false,
         PinVerdict::not_pinned},
        {"table unreadable", status_gateway_mac, "02:00:00:00:00:01", std::nullopt, true,
         PinVerdict::unreadable},
    };
    for (const VerdictCase& c : cases) {
        Scene scene;
        if (c.pinned) {
            scene.stack.staticEntries[{7, "10.0.0.1"}] = *c.pinned;
        }
        if (c.remembered) {
            scene.remembered.text = Remembered(*c.remembered);
        }
        if (c.trusted) {
            scene.trusted.text = "10.0.0.1 " + *c.trusted + "\n";
        }
        if (c.tableFails) {
            scene.stack.readError = 5;
        }
        const PinStatus status = scene.Read();
        ASSERT_EQ(status.adapters.size(), 2u) << c.what;
        ASSERT_EQ(status.adapters[0].addresses.size(), 1u) << c.what;
        EXPECT_TRUE(status.adapters[1].addresses.empty()) << c.what; // no gateway
        EXPECT_EQ(status.adapters[0].addresses[0].verdict, c.verdict) << c.what;
        const bool holds =
            c.verdict == PinVerdict::pinned_trusted || c.verdict == PinVerdict::pinned_remembered;
        EXPECT_EQ(Core_SocketARP::StatusExitCode(status), holds ? 0 : 1) << c.what;
        EXPECT_EQ(Core_SocketARP::StatusText(status).find("Note:"), std::string::npos) << c.what;
    }
}

// The report reads and changes nothing: no flush, pin, request or lock, the stores never written
// nor kept aside, not even a remembered text that a running service would keep aside; what
// cannot be read becomes a note of the report, not a line of the log.
TEST(PinStatus, ReadsWithoutChangingAnything) {
    Scene scene;
    scene.stack.staticEntries[{7, "10.0.0.1"}] = status_gateway_mac;
    scene.stack.adapters.push_back(AdapterInfo{9, "10.9.0.1", "10.9.0.2", "eth2", {}, 24});
    scene.stack.interfaces.push_back(9);
    scene.remembered.text = "not a header\n";
    scene.trusted.text = "10.0.0.1 02:00:00:00:00:01\n10.0.0.53 02:00:00:00:00:53\nbad line\n";
    scene.manager.services[status_service_name].state = Core_Service::service_running;

    testing::internal::CaptureStdout();
    const PinStatus status = scene.Read();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(scene.stack.calls,
              (std::vector<std::string>{"ListInterfaces", "ListAdapters", "Read 7 10.0.0.1",
                                        "Read 7 10.0.0.53", "Read 9 10.9.0.1"}));
    EXPECT_EQ(scene.remembered.saves + scene.remembered.keepAsides, 0);
    EXPECT_EQ(scene.remembered.text, "not a header\n");
    EXPECT_EQ(scene.trusted.saves + scene.trusted.keepAsides, 0);
    EXPECT_FALSE(status.rememberedRead);
    EXPECT_EQ(status.notes.size(), 2u);

    // The trusted address of the link is reported beside its gateway; the report holds: the
    // trusted gateway is pinned, the DNS server and the other link's gateway are not.
    ASSERT_TRUE(status.service && status.service->installed);
    EXPECT_EQ(status.service->state, Core_Service::service_running);
    ASSERT_EQ(status.adapters[0].addresses.size(), 2u);
    EXPECT_FALSE(status.adapters[0].addresses[1].isGateway);
    EXPECT_EQ(Core_SocketARP::StatusExitCode(status), Core_Service::exit_status_not_pinned);
    EXPECT_EQ(
        Core_SocketARP::StatusJson(status),
        R"({"service":{"name":"Tarnwick AntiARP","installed":true,"state":"running","error":null},)"
        R"("adapters":[{"name":"eth0","index":7,"address":"10.0.0.2","prefix_length":24,"pins":[)"
        R"({"address":"10.0.0.1","role":"gateway","pinned":"02:00:00:00:00:01",)"
        R"("trusted":"02:00:00:00:00:01","remembered":null,"remembered_confirmed":null,)"
        R"("verdict":"pinned-trusted","ok":true,"error":null},)"
        R"({"address":"10.0.0.53","role":"trusted","pinned":null,"trusted":"02:00:00:00:00:53",)"
        R"("remembered":null,"remembered_confirmed":null,"verdict":"not-pinned","ok":false,)"
        R"("error":null}]},)"
        R"({"name":"eth1","index":8,"address":null,"prefix_length":0,"pins":[]},)"
        R"({"name":"eth2","index":9,"address":"10.9.0.2","prefix_length":24,"pins":[)"
        R"({"address":"10.9.0.1","role":"gateway","pinned":null,"trusted":null,)"
        R"("remembered":null,"remembered_confirmed":null,"verdict":"not-pinned","ok":false,)"
        R"("error":null}]}],"adapters_error":null,"remembered_read":false,"notes":[)"
        R"("The remembered gateways in the test's store are not readable as such (its first )"
        R"(line is not \"tarnwick-antiarp gateways 2\"): left as it is; they are ignored",)"
        R"("The trusted gateways in the test's store: line 3 skipped: \"bad\" is not an IPv4 )"
        R"(or IPv6 address"],"ok":false})"
        "\n");
}

// The service manager's answer as the report gives it, and the failures that leave nothing to
// judge: a service manager that cannot tell, adapters that cannot be listed.
TEST(PinStatus, ServiceStateAndFailures) {
    Scene scene;
    scene.stack.staticEntries[{7, "10.0.0.1"}] = status_gateway_mac;
    scene.remembered.text = Remembered("02:00:00:00:00:01");
    PinStatus status = scene.Read();
    ASSERT_TRUE(status.service);
    EXPECT_FALSE(status.service->installed);
    EXPECT_EQ(Core_SocketARP::StatusExitCode(status), Core_Service::exit_status_pinned);
    EXPECT_EQ(Core_SocketARP::StatusText(status),
              "Service \"Tarnwick AntiARP\": not installed\n"
              "Adapter eth0 (index 7, 10.0.0.2/24)\n"
              "  gateway 10.0.0.1: pinned to its remembered MAC\n"
              "    ARP table:  02:00:00:00:00:01 (static)\n"
              "    trusted:    none\n"
              "    remembered: 02:00:00:00:00:01 (last answered alone 2026-01-01T00:00:00Z)\n"
              "Adapter eth1 (index 8, no IPv4 address): no gateway\n"
              "Every gateway is pinned to its trusted or remembered MAC.\n");

    scene.manager.queryError = 5;
    scene.remembered.loadError = 13;
    status = scene.Read();
    EXPECT_FALSE(status.service);
    EXPECT_FALSE(status.serviceError.empty());
    EXPECT_FALSE(status.rememberedRead);
    ASSERT_EQ(status.notes.size(), 1u);
    EXPECT_NE(status.notes[0].find("Reading them needs root"), std::string::npos);
    EXPECT_EQ(status.adapters[0].addresses[0].verdict, PinVerdict::nothing_known);
    EXPECT_EQ(Core_SocketARP::StatusExitCode(status), Core_Service::exit_status_not_pinned);

    scene.stack.interfacesError = 5;
    status = scene.Read();
    EXPECT_TRUE(status.adapters.empty());
    EXPECT_FALSE(status.adaptersError.empty());
    EXPECT_EQ(Core_SocketARP::StatusExitCode(status), Core_Service::exit_status_not_pinned);
}

} // namespace
