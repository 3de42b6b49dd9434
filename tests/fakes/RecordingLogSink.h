#pragma once

#include "Core_Common/Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace tw_test {

// A log sink that keeps what it receives, in order, so tests can see the records.
class RecordingLogSink final : public Core_Common::LogSink {
public:
    struct Record {
        int kind, level, module;
        std::string tag, text;
        int value;
        std::string message;
    };

    void WriteLine(int kind, const std::string& line) override;
    void WriteRecord(int kind, int level, int module, const char* tag, const char* text, int value,
                     const std::string& message) override;

    std::vector<std::string> Lines() const;
    std::vector<Record> Records() const;
    std::vector<int> LineKinds() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
    std::vector<Record> records_;
};

} // namespace tw_test
