// The remembered gateways: for each link and gateway address, the hardware address pinned the
// last time it answered alone, and when that was last confirmed. It is what makes a later
// answer trustworthy: the remembered address is pinned before anyone is asked, wins every
// conflict, and a different address answering alone has to earn its place (GatewayKeeper).
//
// Kept in a small text through a state store (a file in the state directory on Linux, the
// service's Parameters key on Windows), one entry a line:
//
//     tarnwick-antiarp gateways 2
//     # link family address mac last-confirmed
//     eth0 ipv4 10.80.0.1 02:00:00:00:00:01 2026-12-07T17:48:00Z
//     eth0 ipv6 fe80::1 02:00:00:00:00:01 2026-12-07T17:48:00Z
//
// An IPv6 entry is a router of the link (its address, link-local or not, in its one text).
// The link's name has every byte that is not printable ASCII, and the blank, '%', '#' and ','
// written as %XX. A line that cannot be read is reported with its number and skipped, the rest
// kept; a text whose first line is not the header is kept aside for the administrator and not
// overwritten. The first format ("tarnwick-antiarp gateways 1": link, address, hexadecimal
// digits) is still read.
#pragma once

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/StateStore.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Core_SocketARP {

class GatewayMemory {
public:
    // Seconds since 1970, UTC.
    using Clock = std::function<std::int64_t()>;
    static std::int64_t SystemSeconds();

    // No more entries than this are kept: beyond it the least recently confirmed go.
    static constexpr std::size_t entry_limit = 512;
    // A gateway confirmed again is written no more often than this: a pass confirms every
    // gateway, and the disk need not hear of each.
    static constexpr std::int64_t confirmation_write_seconds = std::int64_t{24} * 60 * 60;
    // Bad lines reported one by one; the rest are counted in one line.
    static constexpr int reported_line_limit = 5;

    // Nothing is kept beyond the process without a store.
    explicit GatewayMemory(StateStore* store = nullptr, Clock clock = SystemSeconds);

    // The remembered address of the gateway on the link. Loads the store at the first call;
    // what could not be read is reported then, once.
    std::optional<HardwareAddress> Recall(const std::string& link, const std::string& gateway);

    // The gateway answered alone at this address: remembered, and confirmed now. Saved when the
    // address is new or changed, or its last confirmation is older than a day. A failed save is
    // reported (ERROR) once until a save succeeds again; the address is still remembered for
    // this process.
    void Remember(const std::string& link, const std::string& gateway,
                  const HardwareAddress& address);

    // The addresses remembered on the link, of either family.
    std::vector<std::string> OnLink(const std::string& link);

    // Where the gateways are remembered, for reports; empty without a store.
    std::string Where() const;

    struct Entry {
        HardwareAddress address;
        std::int64_t confirmed = 0; // seconds since 1970; 0: not known (the first format)
        bool operator==(const Entry&) const = default;
    };
    using Key = std::pair<std::string, std::string>; // link name, gateway address
    using Entries = std::map<Key, Entry>;

    static std::string Encode(const Entries& entries);

    // Reads the remembered gateways of a store and tells `report` what it could not read, as a
    // memory does at its first use; nothing when the store could not be read as such. A text
    // that is not readable as such is kept aside only with `keepAside`: without it, the store
    // is never written, renamed or kept aside (for a look at it that must change nothing).
    static std::optional<Entries> ReadStore(StateStore& store, bool keepAside,
                                            const ArpReporter& report);

    // Reads a stored text line by line, keeping at most entry_limit entries (the most recently
    // confirmed), and tells what it could not read.
    class Reader {
    public:
        void Line(std::string_view line);

        struct Problem {
            std::size_t line = 0;
            std::string reason;
        };
        // False when the first line was not a header this program writes: nothing was read.
        bool Readable() const { return readable_; }
        const std::vector<Problem>& Problems() const { return problems_; }
        std::size_t ProblemCount() const { return problem_count_; }
        std::size_t Pruned() const { return pruned_; }
        Entries& Result() { return entries_; }

    private:
        void Problem(std::string reason);
        void Add(Key key, Entry entry);

        std::size_t line_ = 0;
        int version_ = 0;
        bool readable_ = false;
        std::vector<struct Problem> problems_;
        std::size_t problem_count_ = 0;
        std::size_t pruned_ = 0;
        Entries entries_;
    };

private:
    void Load();
    void Save();

    StateStore* store_;
    Clock clock_;
    bool loaded_ = false;
    bool save_failed_ = false;
    Entries entries_;
};

} // namespace Core_SocketARP
