// Linked into every benchmark: the report's header names the processor it ran on, since the
// ratios differ from one processor to the next (the price of a locked instruction or of a
// clock read above all).
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

std::string ProcessorModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line
                                              : line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown";
}

const bool noted = (benchmark::AddCustomContext("processor", ProcessorModel()), true);

} // namespace
