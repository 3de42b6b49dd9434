#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <gtest/gtest.h>

namespace tw_test {

// Runs `action` and returns the code of type Code it throws (a system error code unless told:
// programming errors throw the integer 0); fails the test when it throws none.
template <class Code = Core_SocketARP::SystemErrorCode, class Action>
Code CodeThrownBy(Action action) {
    try {
        action();
    } catch (Code code) {
        return code;
    }
    ADD_FAILURE() << "no code of the expected type thrown";
    return static_cast<Code>(0xDEADBEEF);
}

} // namespace tw_test
