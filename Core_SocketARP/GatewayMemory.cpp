#include "Core_SocketARP/GatewayMemory.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/TrustText.h"

#include <algorithm>
#include <chrono>

namespace Core_SocketARP {
namespace {

constexpr std::string_view header_v1 = "tarnwick-antiarp gateways 1";
constexpr std::string_view header_v2 = "tarnwick-antiarp gateways 2";
constexpr const char* field_comment =
    "# link family address mac last-confirmed (written by the program; edit it only while the "
    "service is stopped)";

} // namespace

std::int64_t GatewayMemory::SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

GatewayMemory::GatewayMemory(StateStore* store, Clock clock)
    : store_(store), clock_(std::move(clock)) {}

std::string GatewayMemory::Encode(const Entries& entries) {
    std::string text(header_v2);
    text += '\n';
    text += field_comment;
    text += '\n';
    for (const auto& [key, entry] : entries) {
        const char* family = IsIpv6Text(key.second) ? " ipv6 " : " ipv4 ";
        text += EncodeLinkName(key.first) + family + key.second + ' ' + MacText(entry.address) +
                ' ' + UtcText(entry.confirmed) + '\n';
    }
    return text;
}

void GatewayMemory::Reader::Problem(std::string reason) {
    ++problem_count_;
    if (problems_.size() < static_cast<std::size_t>(reported_line_limit)) {
        problems_.push_back({line_, std::move(reason)});
    }
}

void GatewayMemory::Reader::Add(Key key, Entry entry) {
    entries_[std::move(key)] = std::move(entry);
    if (entries_.size() <= entry_limit) {
        return;
    }
    const auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.second.confirmed < b.second.confirmed;
    });
    entries_.erase(oldest);
    ++pruned_;
}

void GatewayMemory::Reader::Line(std::string_view line) {
    ++line_;
    if (line_ == 1) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        version_ = line == header_v2 ? 2 : line == header_v1 ? 1 : 0;
        readable_ = version_ != 0;
        return;
    }
    if (!readable_) {
        return;
    }
    if (line.size() > StateStore::line_limit) {
        Problem("longer than " + std::to_string(StateStore::line_limit) + " bytes");
        return;
    }
    const std::size_t wanted = version_ == 2 ? 5 : 3;
    const std::vector<std::string_view> fields = LineFields(line, wanted);
    if (fields.empty()) {
        return; // blank or a comment
    }
    if (fields.size() != wanted) {
        Problem(std::to_string(fields.size()) + " fields where " + std::to_string(wanted) +
                " belong");
        return;
    }
    const auto link = DecodeLinkName(fields[0]);
    if (!link) {
        Problem("the link's name is not written as this program writes it");
        return;
    }
    const std::string_view family = version_ == 2 ? fields[1] : "ipv4";
    const std::string_view gateway = version_ == 2 ? fields[2] : fields[1];
    std::string address(gateway);
    if (family == "ipv6") {
        // Kept in the one text of the address, whatever text an administrator wrote.
        const auto bytes = ParseIpv6(gateway);
        if (!bytes) {
            Problem("\"" + address + "\" is not an IPv6 address");
            return;
        }
        address = Ipv6Text(*bytes);
    } else if (family != "ipv4") {
        Problem("the address family \"" + std::string(family) + "\" is not known");
        return;
    } else if (!ParseDottedQuad(address)) {
        Problem("\"" + address + "\" is not an IPv4 address");
        return;
    }
    // The first format wrote 12 hexadecimal digits; whatever else stood there is no MAC that
    // could be pinned (nor written again in the second).
    const auto mac = version_ == 2            ? ParseMac(fields[3])
                     : fields[2].size() == 12 ? ParseMac(fields[2])
                                              : std::nullopt;
    if (!mac) {
        Problem("\"" + std::string(version_ == 2 ? fields[3] : fields[2]) +
                "\" is not a MAC address");
        return;
    }
    std::int64_t confirmed = 0;
    if (version_ == 2) {
        const auto time = ParseUtc(fields[4]);
        if (!time) {
            Problem("\"" + std::string(fields[4]) + "\" is not a time as YYYY-MM-DDTHH:MM:SSZ");
            return;
        }
        confirmed = *time;
    }
    Add({*link, std::move(address)}, Entry{*mac, confirmed});
}

std::string GatewayMemory::Where() const { return store_ != nullptr ? store_->Where() : ""; }

void GatewayMemory::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    if (store_ == nullptr) {
        return;
    }
    const ArpReporter log = [](int level, SystemErrorCode code, const std::string& text) {
        ReportArp(level, code, text);
    };
    if (auto read = ReadStore(*store_, true, log)) {
        entries_ = std::move(*read);
    }
}

std::optional<GatewayMemory::Entries> GatewayMemory::ReadStore(StateStore& store, bool keepAside,
                                                               const ArpReporter& report) {
    const std::string where = store.Where();
    const auto warn = [&report](const std::string& text) {
        report(Core_Service::log_warn, 0, text);
    };
    Reader reader;
    StateStore::ReadResult read;
    try {
        read = store.ReadLines([&](std::string_view line) { reader.Line(line); });
    } catch (SystemErrorCode code) {
        report(Core_Service::log_warn, code,
               "The remembered gateways in " + where +
                   " could not be read; they are ignored: " + ErrorTextInLine(code));
        return std::nullopt;
    } catch (const StoreRefused& refused) {
        warn("The remembered gateways in " + where + " are not used: it " + refused.reason +
             " (it must be a regular file of root, writable by its owner only)");
        return std::nullopt;
    }
    if (!read.found) {
        return Entries{};
    }
    if (!reader.Readable()) {
        std::string aside = "left as it is";
        if (keepAside) {
            try {
                aside = "kept aside as " + store.KeepAside();
            } catch (SystemErrorCode code) {
                aside = "it could not be kept aside (" + ErrorTextInLine(code) + ")";
            }
        }
        warn("The remembered gateways in " + where +
             " are not readable as such (its first line is not \"" + std::string(header_v2) +
             "\"): " + aside + "; they are ignored");
        return std::nullopt;
    }
    for (const auto& problem : reader.Problems()) {
        warn("The remembered gateways in " + where + ": line " + std::to_string(problem.line) +
             " skipped: " + problem.reason);
    }
    if (reader.ProblemCount() > reader.Problems().size()) {
        warn("The remembered gateways in " + where + ": " +
             std::to_string(reader.ProblemCount() - reader.Problems().size()) +
             " more lines skipped");
    }
    if (read.truncated) {
        warn("The remembered gateways in " + where + " are larger than " +
             std::to_string(StateStore::size_limit >> 20) + " MiB: the rest was not read");
    }
    if (reader.Pruned() != 0) {
        warn("The remembered gateways in " + where + " hold more than " +
             std::to_string(entry_limit) + " entries: the " + std::to_string(reader.Pruned()) +
             " least recently confirmed are forgotten");
    }
    return std::move(reader.Result());
}

std::optional<HardwareAddress> GatewayMemory::Recall(const std::string& link,
                                                     const std::string& gateway) {
    Load();
    const auto found = entries_.find({link, gateway});
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second.address;
}

std::vector<std::string> GatewayMemory::OnLink(const std::string& link) {
    Load();
    std::vector<std::string> addresses;
    for (auto entry = entries_.lower_bound({link, ""});
         entry != entries_.end() && entry->first.first == link; ++entry) {
        addresses.push_back(entry->first.second);
    }
    return addresses;
}

void GatewayMemory::Remember(const std::string& link, const std::string& gateway,
                             const HardwareAddress& address) {
    Load();
    const std::int64_t now = clock_();
    const auto found = entries_.find({link, gateway});
    const bool unchanged = found != entries_.end() && found->second.address == address &&
                           now - found->second.confirmed < confirmation_write_seconds &&
                           now >= found->second.confirmed;
    if (found != entries_.end() && found->second.address == address) {
        if (unchanged && !save_failed_) {
            return; // confirmed recently enough: the disk need not hear of it
        }
        found->second.confirmed = now;
    } else {
        entries_[{link, gateway}] = Entry{address, now};
        if (entries_.size() > entry_limit) {
            const auto oldest =
                std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
                    return a.second.confirmed < b.second.confirmed;
                });
            entries_.erase(oldest);
        }
    }
    Save();
}

void GatewayMemory::Save() {
    if (store_ == nullptr) {
        return;
    }
    try {
        store_->Save(Encode(entries_));
        save_failed_ = false;
    } catch (SystemErrorCode code) {
        if (!save_failed_) {
            ReportArp(Core_Service::log_error, code,
                      "The remembered gateways could not be saved in " + store_->Where() + ": " +
                          ErrorTextInLine(code));
        }
        save_failed_ = true;
    }
}

} // namespace Core_SocketARP
