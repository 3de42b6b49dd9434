#include "Core_Service/SystemLog.h"

#include "Core_Service/LogHelper.h"

#include <charconv>
#include <cstdio>

namespace Core_Service {
namespace {

// A whole decimal number and nothing else.
bool parse_decimal(std::string_view text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc{} && stop == end;
}

} // namespace

Severity SeverityOfLevel(int level) {
    switch (level) {
    case log_error:
        return Severity::error;
    case log_warn:
        return Severity::warning;
    default:
        return Severity::information;
    }
}

void WriteStandardOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int JournalPriority(Severity severity) {
    switch (severity) {
    case Severity::error:
        return 3;
    case Severity::warning:
        return 4;
    case Severity::information:
        break;
    }
    return 6;
}

bool JournalStreamNames(std::string_view journalStream, std::uint64_t device, std::uint64_t inode) {
    const std::size_t colon = journalStream.find(':');
    std::uint64_t namedDevice = 0;
    std::uint64_t namedInode = 0;
    return colon != std::string_view::npos &&
           parse_decimal(journalStream.substr(0, colon), namedDevice) &&
           parse_decimal(journalStream.substr(colon + 1), namedInode) && namedDevice == device &&
           namedInode == inode;
}

std::string WithLinePriority(std::string_view text, int priority) {
    const std::string prefix = "<" + std::to_string(priority) + ">";
    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        result += prefix;
        result += text.substr(start, end - start);
        start = end;
    }
    return result;
}

} // namespace Core_Service
