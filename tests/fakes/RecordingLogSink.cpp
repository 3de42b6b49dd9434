#include "fakes/RecordingLogSink.h"

namespace tw_test {

void RecordingLogSink::WriteLine(int kind, const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(kind, line);
}

void RecordingLogSink::WriteRecord(int kind, int level, int module, const char* tag,
                                   const char* text, int value, const std::string& message) {
    std::lock_guard lock(mutex_);
    records_.push_back({kind, level, module, tag, text, value, message});
}

std::vector<std::string> RecordingLogSink::Lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& entry : lines_) {
        lines.push_back(entry.second);
    }
    return lines;
}

std::vector<int> RecordingLogSink::LineKinds() const {
    std::lock_guard lock(mutex_);
    std::vector<int> kinds;
    for (const auto& entry : lines_) {
        kinds.push_back(entry.first);
    }
    return kinds;
}

std::vector<RecordingLogSink::Record> RecordingLogSink::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

} // namespace tw_test
