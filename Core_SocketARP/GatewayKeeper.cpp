#include "Core_SocketARP/GatewayKeeper.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"

#include <algorithm>

namespace Core_SocketARP {

using Core_Common::tick_now;
using Core_Common::tick_value;

struct GatewayKeeper::Gateway {
    GatewayRequest request;
    std::string link; // the adapter's name, for the remembered gateways and the reports
    int position = 0;
    std::optional<std::uint32_t> address; // the gateway's address, network byte order

    // The resolution under way.
    bool resolving = false;
    int triesSent = 0;
    tick_value nextSend = 0;              // when to ask again, or give up: while no answer has come
    std::vector<HardwareAddress> answers; // distinct, in order of arrival
    std::optional<HardwareAddress> remembered;
    bool lost = false; // answers may have been lost while it listened
    bool conflict = false;
    tick_value windowEnd = 0; // 0: no window open

    std::optional<HardwareAddress> pinned;

    // A gateway left unpinned is asked again at retryAt (0: no retry pending).
    tick_value retryAt = 0;
    int backoffSeconds = 0;

    // The pass's output of this position, printed in adapter order once settled.
    bool ofPass = false;
    bool settled = false;
    std::vector<std::function<void()>> output;
};

namespace {

std::string Hex(const HardwareAddress& address) { return Core_Common::bytes_to_hex(address); }

tick_value Later(tick_value now, std::chrono::milliseconds delay) {
    return now + static_cast<tick_value>(std::max<std::int64_t>(delay.count(), 0));
}

// Milliseconds from now until due: 0 once it is due.
std::int64_t MsUntil(tick_value due, tick_value now) {
    return due > now ? static_cast<std::int64_t>(due - now) : 0;
}

bool Contains(const std::vector<HardwareAddress>& addresses, const HardwareAddress& address) {
    return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

// What names a link in the remembered gateways (no blanks) and in reports.
std::string LinkKey(const std::string& name, std::uint32_t index) {
    return name.empty() ? "#" + std::to_string(index) : name;
}

} // namespace

GatewayKeeper::GatewayKeeper(NetworkStack& stack, ArpResolver& resolver, GatewayMemory& memory)
    : stack_(stack), resolver_(resolver), memory_(memory), pace_(resolver.Pace()) {}

GatewayKeeper::~GatewayKeeper() = default;

std::optional<std::size_t> GatewayKeeper::Find(std::uint32_t interfaceIndex,
                                               const std::string& gateway) const {
    const auto found = std::find_if(gateways_.begin(), gateways_.end(), [&](const Gateway& g) {
        return g.request.interfaceIndex == interfaceIndex && g.request.gateway == gateway;
    });
    if (found == gateways_.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - gateways_.begin());
}

void GatewayKeeper::Clear() {
    for (Gateway& gateway : gateways_) {
        if (gateway.resolving) {
            StopResolving(gateway);
        }
    }
    gateways_.clear();
    next_to_print_ = 0;
}

void GatewayKeeper::ResolvePass(const std::vector<AdapterInfo>& adapters) {
    Clear();
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const AdapterInfo& adapter = adapters[i];
        if (adapter.gateway.empty()) {
            continue;
        }
        Gateway gateway;
        gateway.request =
            GatewayRequest{adapter.index, adapter.gateway, adapter.address, adapter.linkAddress};
        gateway.link = LinkKey(adapter.name, adapter.index);
        gateway.position = static_cast<int>(i);
        gateway.address = ParseDottedQuad(adapter.gateway);
        gateway.ofPass = true;
        gateways_.push_back(std::move(gateway));
    }
    // Every request goes out before the first answer is looked at: a silent gateway delays no
    // other.
    std::vector<GatewayRequest> requests;
    for (const Gateway& gateway : gateways_) {
        requests.push_back(gateway.request);
    }
    try {
        resolver_.Expect(requests);
    } catch (SystemErrorCode) { // each request then fails, and says why, on its own
    }
    const tick_value now = tick_now();
    for (Gateway& gateway : gateways_) {
        StartResolution(gateway, now);
        // Later requests (retries, repairs) look the link's address up afresh.
        gateway.request.linkAddress.clear();
    }
    PrintSettled();
    while (next_to_print_ < gateways_.size()) {
        const auto wait = TimeToNextDeadline();
        resolver_.Wait(wait.value_or(std::chrono::milliseconds{-1}));
        TakeAnswers();
        Tick();
        PrintSettled();
    }
}

void GatewayKeeper::StartResolution(Gateway& gateway, tick_value now) {
    gateway.resolving = true;
    gateway.triesSent = 0;
    gateway.answers.clear();
    gateway.remembered = memory_.Recall(gateway.link, gateway.request.gateway);
    gateway.lost = false;
    gateway.conflict = false;
    gateway.windowEnd = 0;
    gateway.retryAt = 0;
    Send(gateway, now);
}

void GatewayKeeper::Send(Gateway& gateway, tick_value now) {
    ++gateway.triesSent;
    gateway.nextSend = Later(now, pace_.interval);
    try {
        resolver_.Ask(gateway.request);
    } catch (SystemErrorCode code) {
        OnFailure(gateway, code, now);
    }
}

void GatewayKeeper::TakeAnswers() {
    bool lost = false;
    const std::vector<ArpEvent> events = resolver_.Collect(lost);
    const tick_value now = tick_now();
    if (lost) {
        for (Gateway& gateway : gateways_) {
            gateway.lost = gateway.lost || gateway.resolving;
        }
    }
    for (const ArpEvent& event : events) {
        const auto found = Find(event.interfaceIndex, event.gateway);
        if (!found || !gateways_[*found].resolving) {
            continue;
        }
        Gateway& gateway = gateways_[*found];
        if (event.hardwareAddress.empty()) {
            OnFailure(gateway, event.error, now);
        } else {
            OnAnswer(gateway, event.hardwareAddress, now);
        }
    }
}

void GatewayKeeper::OnFailure(Gateway& gateway, SystemErrorCode code, tick_value now) {
    if (!gateway.answers.empty()) {
        return; // an answer came: the window decides
    }
    GiveUp(gateway, code, now);
}

void GatewayKeeper::StopResolving(Gateway& gateway) {
    resolver_.Forget(gateway.request.interfaceIndex, gateway.request.gateway);
    gateway.resolving = false;
}

void GatewayKeeper::ReportError(Gateway& gateway, SystemErrorCode code) {
    const int position = gateway.position;
    // The text now, while the platform's words about this failure are still kept.
    Output(gateway, [position, text = ErrorText(code)] {
        PrintErrorMessage("[%d]ARP Error %s\n", position, text.c_str());
    });
}

void GatewayKeeper::GiveUp(Gateway& gateway, SystemErrorCode code, tick_value now) {
    StopResolving(gateway);
    ReportError(gateway, code);
    Settle(gateway);
    ScheduleRetry(gateway, now);
}

void GatewayKeeper::OnAnswer(Gateway& gateway, const HardwareAddress& address, tick_value now) {
    if (Contains(gateway.answers, address)) {
        return;
    }
    gateway.answers.push_back(address);
    if (gateway.answers.size() == 1) {
        gateway.windowEnd = Later(now, conflict_window);
        // Pinned at once when there is no reason to doubt it; a different address than the
        // remembered one waits for the window to tell a replaced gateway from an attacker.
        if (!gateway.remembered || *gateway.remembered == address) {
            Pin(gateway, address, now);
        }
        return;
    }
    if (gateway.conflict) {
        if (gateway.remembered && address == *gateway.remembered) {
            Pin(gateway, address, now);
        }
        return;
    }
    gateway.conflict = true;
    const bool trusted = gateway.remembered && Contains(gateway.answers, *gateway.remembered);
    std::string text = "Gateway " + gateway.request.gateway + " on " + gateway.link +
                       " answered with two MAC addresses, " + Hex(gateway.answers[0]) + " and " +
                       Hex(gateway.answers[1]) + ": ";
    if (trusted) {
        text += "kept the remembered " + Hex(*gateway.remembered);
    } else {
        text += "no entry pinned, asking again later";
    }
    Output(gateway, [text] { ReportArp(Core_Service::log_warn, 0, text); });
    if (trusted) {
        Pin(gateway, *gateway.remembered, now);
    } else {
        Unpin(gateway);
        Settle(gateway);
    }
}

bool GatewayKeeper::Pin(Gateway& gateway, const HardwareAddress& address, tick_value now) {
    if (gateway.pinned == address) {
        return true;
    }
    const int position = gateway.position;
    const std::string text = gateway.request.gateway;
    try {
        SetStaticEntry(stack_, gateway.request.interfaceIndex, gateway.request.gateway, address);
    } catch (SystemErrorCode code) {
        gateway.pinned.reset();
        GiveUp(gateway, code, now);
        return false;
    }
    gateway.pinned = address;
    gateway.backoffSeconds = 0;
    Output(gateway, [position, text, address] {
        PrintMessage("[%d]ARP set static entry: IP: %s <=> MAC address %s\n", position,
                     text.c_str(), Hex(address).c_str());
    });
    Settle(gateway);
    return true;
}

void GatewayKeeper::Unpin(Gateway& gateway) {
    if (!gateway.pinned) {
        return;
    }
    gateway.pinned.reset();
    try {
        stack_.DeleteArpEntry(gateway.request.interfaceIndex, gateway.request.gateway);
    } catch (SystemErrorCode code) {
        ReportError(gateway, code);
    }
}

void GatewayKeeper::CloseWindow(Gateway& gateway, tick_value now) {
    StopResolving(gateway);
    gateway.windowEnd = 0;
    if (gateway.conflict) {
        if (!gateway.pinned) {
            ScheduleRetry(gateway, now);
        }
        return;
    }
    const HardwareAddress& answer = gateway.answers.front();
    const bool remembered = gateway.remembered && *gateway.remembered == answer;
    if (gateway.lost && !remembered) {
        // A flood took answers away: the one that came alone proves nothing.
        const std::string text = "Gateway " + gateway.request.gateway + " on " + gateway.link +
                                 ": answers were lost in a flood, only " + Hex(answer) +
                                 " was seen: no entry pinned, asking again later";
        Output(gateway, [text] { ReportArp(Core_Service::log_warn, 0, text); });
        Unpin(gateway);
        Settle(gateway);
        ScheduleRetry(gateway, now);
        return;
    }
    if (!gateway.pinned) {
        // Alone and not the remembered address: the gateway was replaced.
        const std::string text = "Gateway " + gateway.request.gateway + " on " + gateway.link +
                                 " has a new MAC address " + Hex(answer) + " (was " +
                                 Hex(*gateway.remembered) + "): pinned and remembered";
        Output(gateway, [text] { ReportArp(Core_Service::log_warn, 0, text); });
        if (!Pin(gateway, answer, now)) {
            return;
        }
    }
    memory_.Remember(gateway.link, gateway.request.gateway, answer);
}

void GatewayKeeper::ScheduleRetry(Gateway& gateway, tick_value now) {
    gateway.backoffSeconds = gateway.backoffSeconds == 0
                                 ? first_retry_seconds
                                 : std::min(gateway.backoffSeconds * 2, last_retry_seconds);
    gateway.retryAt = Later(now, std::chrono::seconds{gateway.backoffSeconds});
}

void GatewayKeeper::Tick() {
    const tick_value now = tick_now();
    for (Gateway& gateway : gateways_) {
        if (gateway.resolving && gateway.answers.empty() && now >= gateway.nextSend) {
            if (gateway.triesSent < pace_.tries) {
                Send(gateway, now);
            } else {
                OnFailure(gateway, pace_.noAnswerError, now);
            }
        } else if (gateway.resolving && gateway.windowEnd != 0 && now >= gateway.windowEnd) {
            CloseWindow(gateway, now);
        } else if (!gateway.resolving && gateway.retryAt != 0 && now >= gateway.retryAt) {
            StartResolution(gateway, now);
        }
    }
    PrintSettled();
}

std::optional<std::chrono::milliseconds> GatewayKeeper::TimeToNextDeadline() const {
    std::optional<tick_value> next;
    const auto consider = [&next](tick_value due) {
        if (due != 0 && (!next || due < *next)) {
            next = due;
        }
    };
    for (const Gateway& gateway : gateways_) {
        if (gateway.resolving) {
            consider(gateway.answers.empty() ? gateway.nextSend : gateway.windowEnd);
        } else {
            consider(gateway.retryAt);
        }
    }
    if (!next) {
        return std::nullopt;
    }
    return std::chrono::milliseconds{MsUntil(*next, tick_now())};
}

void GatewayKeeper::Output(Gateway& gateway, std::function<void()> item) {
    if (gateway.ofPass && !gateway.settled) {
        gateway.output.push_back(std::move(item));
    } else {
        item();
    }
}

void GatewayKeeper::Settle(Gateway& gateway) {
    if (gateway.ofPass && !gateway.settled) {
        gateway.settled = true;
    }
}

void GatewayKeeper::PrintSettled() {
    while (next_to_print_ < gateways_.size() && gateways_[next_to_print_].settled) {
        Gateway& gateway = gateways_[next_to_print_];
        for (const auto& item : gateway.output) {
            item();
        }
        gateway.output.clear();
        gateway.ofPass = false;
        ++next_to_print_;
    }
}

void GatewayKeeper::Check(Gateway& gateway) {
    if (!gateway.pinned) {
        return;
    }
    std::optional<HardwareAddress> entry;
    try {
        entry = stack_.ReadStaticEntry(gateway.request.interfaceIndex, gateway.request.gateway);
    } catch (SystemErrorCode) {
        return; // the table cannot be read now; the next check will tell
    }
    if (entry == gateway.pinned) {
        return;
    }
    const HardwareAddress pinned = *gateway.pinned;
    gateway.pinned.reset();
    if (gateway.resolving) {
        // Lost while its window is still open: the window's choice stands, written again.
        Pin(gateway, pinned, tick_now());
        return;
    }
    gateway.backoffSeconds = 0;
    StartResolution(gateway, tick_now());
}

void GatewayKeeper::Repair(const ChangeReport& report) {
    for (Gateway& gateway : gateways_) {
        const std::uint32_t index = gateway.request.interfaceIndex;
        const bool linkTouched =
            report.overrun ||
            std::find(report.links.begin(), report.links.end(), index) != report.links.end();
        const bool entryTouched =
            gateway.address &&
            std::find(report.neighbours.begin(), report.neighbours.end(),
                      std::make_pair(index, *gateway.address)) != report.neighbours.end();
        if (!linkTouched && !entryTouched) {
            continue;
        }
        if (gateway.pinned) {
            Check(gateway);
        } else if (linkTouched && !gateway.resolving && gateway.retryAt != 0) {
            gateway.retryAt = tick_now(); // the link changed: the gateway may answer now
        }
    }
    Tick();
}

void GatewayKeeper::CheckPins() {
    for (Gateway& gateway : gateways_) {
        Check(gateway);
    }
    PrintSettled();
}

void GatewayKeeper::FinishWatches() {
    const auto open = [this] {
        return std::any_of(gateways_.begin(), gateways_.end(),
                           [](const Gateway& g) { return g.resolving; });
    };
    while (open()) {
        // Only what is open is finished: no retry starts here.
        for (Gateway& gateway : gateways_) {
            if (!gateway.resolving) {
                gateway.retryAt = 0;
            }
        }
        resolver_.Wait(TimeToNextDeadline().value_or(std::chrono::milliseconds{0}));
        TakeAnswers();
        Tick();
    }
    PrintSettled();
}

bool GatewayKeeper::Pinned(std::uint32_t interfaceIndex, const std::string& gateway) const {
    const auto found = Find(interfaceIndex, gateway);
    return found && gateways_[*found].pinned.has_value();
}

std::optional<std::int64_t> GatewayKeeper::RetryDelayMs(std::uint32_t interfaceIndex,
                                                        const std::string& gateway) const {
    const auto found = Find(interfaceIndex, gateway);
    if (!found || gateways_[*found].retryAt == 0) {
        return std::nullopt;
    }
    return MsUntil(gateways_[*found].retryAt, tick_now());
}

} // namespace Core_SocketARP
