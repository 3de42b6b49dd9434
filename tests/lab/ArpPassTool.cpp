// Runs the ARP passes over the system's network stack, for the lab: inside a network
// namespace, so that only the namespace's links are touched.
//   tw_arp_pass bind | flush | list | resolve <address>
#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: tw_arp_pass bind | flush | list | resolve <address>\n");
    return 2;
}

int List() {
    auto& stack = Core_SocketARP::SystemNetworkStack();
    for (std::uint32_t index : stack.ListInterfaces()) {
        std::printf("interface %u\n", index);
    }
    for (const auto& adapter : stack.ListAdapters()) {
        std::printf("adapter %u %s\n", adapter.index, adapter.gateway.c_str());
    }
    return 0;
}

int Resolve(const std::string& address) {
    try {
        const auto mac = Core_SocketARP::ResolveMac(Core_SocketARP::SystemNetworkStack(), address);
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
        Core_SocketARP::BindGateways();
        return 0;
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
    if (command == "resolve" && argc == 3) {
        return Resolve(argv[2]);
    }
    return Usage();
}
