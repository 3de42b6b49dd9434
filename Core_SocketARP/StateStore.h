// Where the program keeps, or reads, a small text of its own: the remembered gateways (a file
// in the state directory on Linux, a value of the service's Parameters key on Windows) and the
// administrator's trusted gateways (a file under /etc on Linux, registry values on Windows).
// An implementation holds only the platform calls and the checks of who may have written the
// text; the texts are read and judged line by line by portable code.
#pragma once

#include "Core_SocketARP/NetworkStack.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Core_SocketARP {

// A stored text that is there but is not to be trusted or cannot be read safely: not a regular
// file (a FIFO, a device, a directory), writable by others than its owner, owned by another
// user, a registry key whose owner or DACL is not the expected one.
struct StoreRefused {
    std::string reason; // what is wrong, in words for a report: "is not a regular file", ...
};

class StateStore {
public:
    virtual ~StateStore() = default;

    // A line longer than this is not one of ours: it is handed over cut to line_limit + 1
    // bytes, so that the reader refuses it without holding all of it.
    static constexpr std::size_t line_limit = 1024;
    // No more than this is read of a stored text; the lines beyond are not handed over, and
    // ReadLines says so.
    static constexpr std::size_t size_limit = std::size_t{4} << 20;

    struct ReadResult {
        bool found = false;     // false: nothing is stored (no file, no value)
        bool truncated = false; // size_limit was reached: the lines beyond were not read
    };

    // Hands each line of the stored text to `line`, in order, without its "\n" (a "\r" before
    // it is left for the reader). Reads in pieces: the whole text is never held at once.
    // Throws SystemErrorCode when it cannot be read, StoreRefused when it is there but must not
    // be trusted.
    virtual ReadResult ReadLines(const std::function<void(std::string_view)>& line) = 0;

    // Replaces the stored text as a whole, atomically. Throws SystemErrorCode (a read-only
    // store throws 0).
    virtual void Save(const std::string& text) = 0;

    // Moves the stored text aside under a name of its own (the file's name + ".bad", the
    // value's name + ".bad"), replacing what an earlier call put there, so that a text that
    // could not be read stays for the administrator instead of being overwritten by the next
    // Save. Returns where it went. Throws SystemErrorCode (a read-only store throws 0).
    virtual std::string KeepAside() = 0;

    // Where it is kept, for reports: a path, or a registry key and value.
    virtual std::string Where() const = 0;

protected:
    StateStore() = default;
    StateStore(const StateStore&) = default;
    StateStore& operator=(const StateStore&) = default;
};

// The platform's store of the remembered gateways of the service of that name (read and
// written; with `readOnly`, for a look at them that must change nothing, only read): the file
// "gateways" in the state directory on Linux, the value "Gateways" of the service key's
// "Parameters" on Windows.
std::unique_ptr<StateStore> SystemStateStore(const std::wstring& serviceName,
                                             bool readOnly = false);

// The platform's stores of the administrator's trusted gateways, read only, in the order they
// are read (a later store's entry for the same address and link wins): on Linux the file
// "trusted-gateways" in the configuration directory ($CONFIGURATION_DIRECTORY, else
// /etc/tarnwick-antiarp); on Windows the multi-string value "TrustedGateways" of the service
// key's "Parameters", then of the policy key "SOFTWARE\Policies\Tarnwick\AntiARP" (what a
// Group Policy writes). A store that is not there reads as found = false.
std::vector<std::unique_ptr<StateStore>> SystemTrustedStores(const std::wstring& serviceName);

} // namespace Core_SocketARP
