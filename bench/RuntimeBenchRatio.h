// Runs the registered benchmarks and then prints, for each pair, the candidate's time per
// iteration divided by its baseline's from the same run. CPU time, so that other load on a
// shared machine weighs less.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tw_bench {

struct RatioPair {
    std::string candidate;
    std::string baseline;
    const char* target; // the goal, for the reader; null when there is none
};

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {} // no colour codes in saved output

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                auto& [sum, count] = per_iteration_[run.benchmark_name()];
                sum += run.cpu_accumulated_time / static_cast<double>(run.iterations);
                ++count;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios(const std::vector<RatioPair>& pairs) const {
        std::printf("\nRatios (CPU time per iteration, candidate / baseline, same run):\n");
        for (const RatioPair& pair : pairs) {
            const auto candidate = per_iteration_.find(pair.candidate);
            const auto baseline = per_iteration_.find(pair.baseline);
            if (candidate == per_iteration_.end() || baseline == per_iteration_.end()) {
                continue; // filtered out
            }
            const double ratio = Mean(candidate->second) / Mean(baseline->second);
            std::printf("  %-44s / %-36s = %6.2f%s%s\n", pair.candidate.c_str(),
                        pair.baseline.c_str(), ratio, pair.target != nullptr ? "   target " : "",
                        pair.target != nullptr ? pair.target : "");
        }
        std::fflush(stdout);
    }

private:
    static double Mean(const std::pair<double, int>& sum_count) {
        return sum_count.first / sum_count.second;
    }

    std::map<std::string, std::pair<double, int>> per_iteration_;
};

inline int RunWithRatios(int argc, char** argv, const std::vector<RatioPair>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(pairs);
    benchmark::Shutdown();
    return 0;
}

} // namespace tw_bench
