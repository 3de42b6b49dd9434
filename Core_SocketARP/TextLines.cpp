#include "Core_SocketARP/TextLines.h"

#include <algorithm>

namespace Core_SocketARP {

void TextLines::Add(std::string_view piece) {
    if (piece.size() > Room()) {
        piece = piece.substr(0, Room());
        truncated_ = true;
    }
    taken_ += piece.size();
    while (!piece.empty()) {
        const std::size_t end = std::min(piece.find('\n'), piece.size());
        if (!cut_) {
            const std::size_t keep = std::min(end, StateStore::line_limit + 1 - current_.size());
            current_.append(piece.substr(0, keep));
            cut_ = keep < end;
        }
        if (end == piece.size()) {
            return;
        }
        line_(current_);
        current_.clear();
        cut_ = false;
        piece.remove_prefix(end + 1);
    }
}

StateStore::ReadResult TextLines::End() {
    if (!truncated_ && (!current_.empty() || cut_)) {
        line_(current_);
    }
    current_.clear();
    cut_ = false;
    return {true, truncated_};
}

} // namespace Core_SocketARP
