#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tw_test {

// Runs `action` and returns the system code it throws; fails the test when it throws none.
template <class Action> std::uint32_t CodeThrownBy(Action action) {
    try {
        action();
    } catch (Core_SocketARP::SystemErrorCode code) {
        return code;
    }
    ADD_FAILURE() << "no system error code thrown";
    return 0xDEADBEEF;
}

} // namespace tw_test
