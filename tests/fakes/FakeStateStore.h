#pragma once

#include "Core_SocketARP/StateStore.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tw_test {

// A stored text in memory, handed over line by line, with scripted failures.
class FakeStateStore final : public Core_SocketARP::StateStore {
public:
    std::optional<std::string> text;
    std::optional<std::string> aside; // what KeepAside moved away
    std::optional<std::uint32_t> loadError;
    std::optional<std::string> refusal; // ReadLines throws StoreRefused with this reason
    std::optional<std::uint32_t> saveError;
    int loads = 0;
    int saves = 0;

    ReadResult ReadLines(const std::function<void(std::string_view)>& line) override {
        ++loads;
        if (loadError) {
            throw Core_SocketARP::SystemErrorCode{*loadError};
        }
        if (refusal) {
            throw Core_SocketARP::StoreRefused{*refusal};
        }
        if (!text) {
            return {};
        }
        std::size_t start = 0;
        while (start < text->size()) {
            const std::size_t end = std::min(text->find('\n', start), text->size());
            line(std::string_view(*text).substr(start, end - start));
            start = end + 1;
        }
        return {true, false};
    }

    void Save(const std::string& newText) override {
        ++saves;
        if (saveError) {
            throw Core_SocketARP::SystemErrorCode{*saveError};
        }
        text = newText;
    }

    std::string KeepAside() override {
        aside = std::exchange(text, std::nullopt);
        return Where() + ".bad";
    }

    std::string Where() const override { return "the test's store"; }
};

} // namespace tw_test
