// A stored text, taken in pieces as a store reads it, handed on line by line the way
// StateStore::ReadLines promises: without the "\n", a line longer than line_limit cut to
// line_limit + 1 bytes, nothing beyond size_limit bytes. Only the current line is held.
#pragma once

#include "Core_SocketARP/StateStore.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace Core_SocketARP {

class TextLines {
public:
    using LineSink = std::function<void(std::string_view)>;

    explicit TextLines(LineSink line) : line_(std::move(line)) {}

    // How many more bytes are taken before size_limit is reached.
    std::size_t Room() const { return StateStore::size_limit - taken_; }

    // Takes the next piece; what goes beyond size_limit is dropped, and the text is then
    // truncated.
    void Add(std::string_view piece);

    // The end of the text: a last line without "\n" is handed over, unless the limit cut the
    // text inside it (a part of a line is not a line).
    StateStore::ReadResult End();

private:
    LineSink line_;
    std::string current_;
    bool cut_ = false; // the current line went beyond line_limit; the rest of it is skipped
    std::size_t taken_ = 0;
    bool truncated_ = false;
};

} // namespace Core_SocketARP
