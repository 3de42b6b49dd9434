// The unit file's text: whatever the display name, the description and the program's path,
// the unit keeps its lines (nothing in them ends a line or adds one), the command is one
// quoted word, and the description replaces exactly its own line. Input: three chunks (display
// name, description, path) in UTF-8.
#include "FuzzInput.h"

#include "Core_Common/Utility.h"
#include "Core_Service/SystemdUnit.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    tw_fuzz::Require(start == text.size()); // the last line ends too
    return lines;
}

std::wstring Wide(std::span<const std::uint8_t> bytes) {
    return Core_Common::narrow_to_wide(std::string(bytes.begin(), bytes.end()),
                                       Core_Common::code_page_ansi);
}

// One double-quoted word: a quote or a backslash inside only escaped, no control character.
void RequireOneQuotedWord(const std::string& word) {
    tw_fuzz::Require(word.size() >= 2 && word.front() == '"' && word.back() == '"');
    for (std::size_t i = 1; i + 1 < word.size(); ++i) {
        const auto c = static_cast<unsigned char>(word[i]);
        tw_fuzz::Require(c >= 0x20 && c != 0x7F && c != '"');
        if (c == '\\') {
            ++i;
            tw_fuzz::Require(i + 1 < word.size());
        }
    }
}

std::size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& key) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
        count += line.rfind(key, 0) == 0 ? 1 : 0;
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw_fuzz::Input input(data, size);
    Core_Service::ServiceDefinition definition;
    definition.serviceName = L"Tarnwick AntiARP";
    definition.displayName = Wide(input.TakeChunk());
    const std::wstring description = Wide(input.TakeChunk());
    definition.programPath = Wide(input.TakeChunk());

    Core_Service::ServiceDefinition plain = definition;
    plain.displayName = L"Tarnwick AntiARP";
    plain.programPath = L"/usr/sbin/antiarp";
    const std::size_t expectedLines = Lines(Core_Service::MakeUnitFile(plain)).size();

    const std::string unit = Core_Service::MakeUnitFile(definition);
    const std::vector<std::string> lines = Lines(unit);
    tw_fuzz::Require(lines.size() == expectedLines);
    tw_fuzz::Require(CountStartingWith(lines, "Description=") == 1);
    tw_fuzz::Require(CountStartingWith(lines, "ExecStart=") == 1);
    for (const std::string& line : lines) {
        if (line.rfind("ExecStart=", 0) == 0) {
            RequireOneQuotedWord(line.substr(10));
        }
    }

    const std::vector<std::string> described =
        Lines(Core_Service::WriteUnitDescription(unit, description));
    tw_fuzz::Require(described.size() == expectedLines);
    tw_fuzz::Require(CountStartingWith(described, "Description=") == 1);
    return 0;
}
