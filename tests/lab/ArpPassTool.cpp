// Runs the ARP passes over the system's network stack, for the lab: inside a network
// namespace, so that only the namespace's links are touched.
//   tw_arp_pass bind | flush | list | resolve <link> <address>
// The binding pass keeps its remembered gateways in $STATE_DIRECTORY when it is set.
#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/StateStore.h"
#include "fakes/ResolveMac.h"

#include <net/if.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: tw_arp_pass bind | flush | list | resolve <link> <address>\n");
    return 2;
}

int List() {
    auto& stack = Core_SocketARP::SystemNetworkStack();
    for (std::uint32_t index : stack.ListInterfaces()) {
        std::printf("interface %u\n", index);
    }
    for (const auto& adapter : stack.ListAdapters()) {
        std::printf("adapter %u %s %s %s\n", adapter.index, adapter.name.c_str(),
                    adapter.gateway.c_str(), adapter.address.c_str());
    }
    return 0;
}

int Bind() {
    auto& stack = Core_SocketARP::SystemNetworkStack();
    std::unique_ptr<Core_SocketARP::StateStore> store;
    if (std::getenv("STATE_DIRECTORY") != nullptr) {
        store = Core_SocketARP::SystemStateStore(L"");
    }
    Core_SocketARP::BindGateways(stack, store.get());
    return 0;
}

int Resolve(const std::string& link, const std::string& address) {
    const unsigned index = if_nametoindex(link.c_str());
    if (index == 0) {
        std::fprintf(stderr, "no link %s\n", link.c_str());
        return 2;
    }
    try {
        Core_SocketARP::GatewayRequest request{index, address, {}};
        for (const auto& adapter : Core_SocketARP::SystemNetworkStack().ListAdapters()) {
            if (adapter.index == index) {
                request.source = adapter.address;
            }
        }
        const auto mac = tw_test::ResolveMac(Core_SocketARP::SystemNetworkStack(), request);
        std::printf("%s\n", Core_Common::bytes_to_hex(mac).c_str());
        return 0;
    } catch (Core_SocketARP::SystemErrorCode code) {
        std::printf("error %s", Core_SocketARP::ErrorText(code).c_str());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "bind" && argc == 2) {
        return Bind();
    }
    if (command == "flush" && argc == 2) {
        Core_SocketARP::FlushArpTables();
        return 0;
    }
    if (command == "list" && argc == 2) {
        try {
            return List();
        } catch (Core_SocketARP::SystemErrorCode code) {
            std::printf("error %s", Core_SocketARP::ErrorText(code).c_str());
            return 1;
        }
    }
    if (command == "resolve" && argc == 4) {
        return Resolve(argv[2], argv[3]);
    }
    return Usage();
}
