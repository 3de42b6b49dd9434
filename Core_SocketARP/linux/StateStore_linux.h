// The remembered gateways as a file in a directory: read and written without following a
// symbolic link, written whole to a temporary file and renamed over the old one, readable by
// root only.
#pragma once

#include "Core_SocketARP/GatewayMemory.h"

#include <string>

namespace Core_SocketARP {

class StateFile final : public StateStore {
public:
    // The directory is made (mode 0700) when a save finds it missing; its parent must exist.
    StateFile(std::string directory, std::string name);

    std::optional<std::string> Load() override;
    void Save(const std::string& text) override;
    std::string Where() const override;

    // A larger file is not the program's: it is refused rather than read.
    static constexpr std::size_t size_limit = std::size_t{1} << 20;

private:
    std::string directory_;
    std::string name_;
};

// Where the state lives: the first directory of $STATE_DIRECTORY (systemd's StateDirectory=),
// else /var/lib/tarnwick-antiarp.
std::string StateDirectory();

} // namespace Core_SocketARP
