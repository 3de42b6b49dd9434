#pragma once

#include "Core_SocketARP/GatewayMemory.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tw_test {

// The remembered gateways' text in memory, with scripted failures.
class FakeStateStore final : public Core_SocketARP::StateStore {
public:
    std::optional<std::string> text;
    std::optional<std::uint32_t> loadError;
    std::optional<std::uint32_t> saveError;
    int loads = 0;
    int saves = 0;

    std::optional<std::string> Load() override {
        ++loads;
        if (loadError) {
            throw Core_SocketARP::SystemErrorCode{*loadError};
        }
        return text;
    }

    void Save(const std::string& newText) override {
        ++saves;
        if (saveError) {
            throw Core_SocketARP::SystemErrorCode{*saveError};
        }
        text = newText;
    }

    std::string Where() const override { return "the test's store"; }
};

} // namespace tw_test
