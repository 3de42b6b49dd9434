// The remembered gateways: for each adapter's link and gateway address, the hardware address
// last pinned without a conflict. It is what makes a later answer trustworthy: among
// conflicting answers the remembered one wins, and a different one answering alone is a
// replaced gateway. Kept in a small text through a state store (a file in the state directory
// on Linux, the service's Parameters key on Windows).
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/StateStore.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace Core_SocketARP {

class GatewayMemory {
public:
    // Nothing is kept beyond the process without a store.
    explicit GatewayMemory(StateStore* store = nullptr) : store_(store) {}

    // Loads the store once; an unreadable or corrupt state is reported once (WARN) and
    // ignored.
    std::optional<HardwareAddress> Recall(const std::string& link, const std::string& gateway);

    // Saves when the address is new or changed. A failed save is reported (ERROR) once until
    // a save succeeds again; the address is still remembered for this process.
    void Remember(const std::string& link, const std::string& gateway,
                  const HardwareAddress& address);

    // The text of a set of remembered gateways, and back. Decode gives nothing for a text
    // that is not wholly well-formed.
    using Entries = std::map<std::pair<std::string, std::string>, HardwareAddress>;
    static std::string Encode(const Entries& entries);
    static std::optional<Entries> Decode(const std::string& text);

private:
    void Load();

    StateStore* store_;
    bool loaded_ = false;
    bool save_failed_ = false;
    Entries entries_;
};

} // namespace Core_SocketARP
