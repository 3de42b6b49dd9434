#include "fakes/FakeTickSource.h"

namespace tw_test {

std::uint32_t FakeTickSource::ReadTicks() { return ticks_; }

} // namespace tw_test
