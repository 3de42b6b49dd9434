// A stored text as a file in a directory: the remembered gateways in the state directory (read
// and written) and the administrator's trusted gateways in the configuration directory (read
// only). Never through a symbolic link, never from anything but a regular file, and only when
// the file and its directory belong to root (or to the user the program runs as) and nobody
// else may write them. Written whole to a temporary file and renamed over the old one.
#pragma once

#include "Core_SocketARP/StateStore.h"

#include <string>

namespace Core_SocketARP {

class StateFile final : public StateStore {
public:
    enum class Access { read_write, read_only };

    // The directory is made (mode 0700) when a save finds it missing; its parent must exist.
    StateFile(std::string directory, std::string name, Access access = Access::read_write);

    ReadResult ReadLines(const std::function<void(std::string_view)>& line) override;
    void Save(const std::string& text) override;
    std::string KeepAside() override;
    std::string Where() const override;

private:
    std::string directory_;
    std::string name_;
    Access access_;
};

// Where the state lives: the first directory of $STATE_DIRECTORY (systemd's StateDirectory=),
// else /var/lib/tarnwick-antiarp.
std::string StateDirectory();

// Where the administrator's settings live: the first directory of $CONFIGURATION_DIRECTORY
// (systemd's ConfigurationDirectory=), else /etc/tarnwick-antiarp.
std::string ConfigurationDirectory();

} // namespace Core_SocketARP
