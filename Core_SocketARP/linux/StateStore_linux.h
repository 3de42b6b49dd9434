// The remembered gateways as a file in a directory: read and written without following a
// symbolic link, written whole to a temporary file and renamed over the old one, readable by
// root only.
#pragma once

#include "Core_SocketARP/StateStore.h"

#include <optional>

#include <string>

namespace Core_SocketARP {

class StateFile final : public StateStore {
public:
    // The directory is made (mode 0700) when a save finds it missing; its parent must exist.
    StateFile(std::string directory, std::string name);

    ReadResult ReadLines(const std::function<void(std::string_view)>& line) override;
    void Save(const std::string& text) override;
    std::string KeepAside() override;
    std::string Where() const override;

    std::optional<std::string> Load();

private:
    std::string directory_;
    std::string name_;
};

// Where the state lives: the first directory of $STATE_DIRECTORY (systemd's StateDirectory=),
// else /var/lib/tarnwick-antiarp.
std::string StateDirectory();

} // namespace Core_SocketARP
