#include "Core_SocketARP/ErrorDetail.h"

#include <optional>
#include <utility>

namespace Core_SocketARP {
namespace {

struct Detail {
    SystemErrorCode code = 0;
    std::string text;
};

// Per thread: the monitor's passes and a control's flush may fail at the same time.
thread_local std::optional<Detail> kept;

} // namespace

void KeepErrorDetail(SystemErrorCode code, std::string text) {
    if (text.empty()) {
        kept.reset();
    } else {
        kept = Detail{code, std::move(text)};
    }
}

void ForgetErrorDetail() { kept.reset(); }

std::string TakeErrorDetail(SystemErrorCode code) {
    std::optional<Detail> detail = std::exchange(kept, std::nullopt);
    return detail && detail->code == code ? std::move(detail->text) : std::string{};
}

} // namespace Core_SocketARP
