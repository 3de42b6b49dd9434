#include "Core_Common/TickClock.h"

#include "Core_Common/win/WinApi.h"

namespace Core_Common {
namespace {

class SystemTickSource final : public TickSource {
public:
    std::uint32_t ReadTicks() override { return GetTickCount(); }
};

} // namespace

TickSource& system_tick_source() {
    static SystemTickSource source;
    return source;
}

} // namespace Core_Common
