// The readers of the remembered gateways' and of the trusted gateways' texts, on any text, as a
// store hands it over (line by line, a long line cut): neither may fail or keep more than its
// limit, and what the remembered gateways' reader keeps, written again, reads back the same.
#include "FuzzInput.h"

#include "Core_SocketARP/GatewayMemory.h"
#include "Core_SocketARP/StateStore.h"
#include "Core_SocketARP/TrustedGateways.h"

#include <algorithm>
#include <string_view>

namespace {

template <class Visit> void ForEachLine(std::string_view text, Visit&& visit) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        visit(text.substr(0, std::min(end, Core_SocketARP::StateStore::line_limit + 1)));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Core_SocketARP::GatewayMemory;
    using Core_SocketARP::TrustedGateways;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    GatewayMemory::Reader remembered;
    TrustedGateways::Reader trusted;
    ForEachLine(text, [&](std::string_view line) {
        remembered.Line(line);
        trusted.Line(line);
    });
    tw_fuzz::Require(remembered.Result().size() <= GatewayMemory::entry_limit);
    tw_fuzz::Require(trusted.Result().size() <= TrustedGateways::entry_limit);
    tw_fuzz::Require(remembered.Problems().size() <= remembered.ProblemCount());
    if (remembered.Readable()) {
        GatewayMemory::Reader again;
        ForEachLine(GatewayMemory::Encode(remembered.Result()),
                    [&](std::string_view line) { again.Line(line); });
        tw_fuzz::Require(again.Readable() && again.ProblemCount() == 0 &&
                         again.Result() == remembered.Result());
    }
    return 0;
}
