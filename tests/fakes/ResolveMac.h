// One gateway resolved alone through a stack's resolver: for the tests and the lab's tool that
// look at a resolver's answers themselves rather than through a binding pass.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <chrono>
#include <memory>

namespace tw_test {

// The first answer of the gateway on its link, after the resolver's tries; throws the
// failure's SystemErrorCode.
inline Core_SocketARP::HardwareAddress ResolveMac(Core_SocketARP::NetworkStack& stack,
                                                  const Core_SocketARP::GatewayRequest& request) {
    const std::unique_ptr<Core_SocketARP::ArpResolver> resolver = stack.CreateResolver();
    const Core_SocketARP::ResolverPace pace = resolver->Pace();
    for (int attempt = 0; attempt < pace.tries; ++attempt) {
        resolver->Ask(request);
        const auto deadline = std::chrono::steady_clock::now() + pace.interval;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            bool lost = false;
            for (const Core_SocketARP::ArpEvent& event : resolver->Collect(lost)) {
                if (event.interfaceIndex != request.interfaceIndex ||
                    event.gateway != request.gateway) {
                    continue;
                }
                if (event.hardwareAddress.empty()) {
                    throw Core_SocketARP::SystemErrorCode{event.error};
                }
                return event.hardwareAddress;
            }
            if (left.count() <= 0 || !resolver->Wait(left)) {
                break;
            }
        }
    }
    throw Core_SocketARP::SystemErrorCode{pace.noAnswerError};
}

} // namespace tw_test
