#pragma once

#include "Core_SocketARP/StateStore.h"
#include "Core_SocketARP/TextLines.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tw_test {

// A stored text in memory, handed over line by line as the platform stores do, with scripted
// failures.
class FakeStateStore final : public Core_SocketARP::StateStore {
public:
    std::optional<std::string> text;      // nothing: nothing is stored
    std::optional<std::string> keptAside; // what KeepAside moved away
    std::optional<std::uint32_t> loadError;
    std::optional<std::string> refusal; // ReadLines throws StoreRefused with this reason
    std::optional<std::uint32_t> saveError;
    std::optional<std::uint32_t> keepAsideError;
    bool readOnly = false; // Save and KeepAside throw 0, as the trusted stores do
    int loads = 0;
    int saves = 0;
    int keepAsides = 0;

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
        Core_SocketARP::TextLines lines(line);
        lines.Add(*text);
        return lines.End();
    }

    void Save(const std::string& newText) override {
        ++saves;
        Fail(saveError);
        text = newText;
    }

    std::string KeepAside() override {
        ++keepAsides;
        Fail(keepAsideError);
        if (!text) {
            throw Core_SocketARP::SystemErrorCode{2}; // nothing to move: "not found"
        }
        keptAside = std::move(text);
        text.reset();
        return Where() + ".bad";
    }

    std::string Where() const override { return "the test's store"; }

private:
    void Fail(const std::optional<std::uint32_t>& error) const {
        if (readOnly) {
            throw Core_SocketARP::SystemErrorCode{0};
        }
        if (error) {
            throw Core_SocketARP::SystemErrorCode{*error};
        }
    }
};

} // namespace tw_test
