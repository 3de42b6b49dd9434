// Runs the registered benchmarks (five repetitions each unless --benchmark_repetitions says
// otherwise) and then prints, for each pair, the candidate's time per iteration divided by its
// baseline's from the same run: the median of the repetitions' ratios and their spread (the
// n-th repetition of the one against the n-th of the other). CPU time, so that other load on
// a shared machine weighs less; the spread says how much it still did.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tw_bench {

struct RatioPair {
    std::string candidate;
    std::string baseline;
    const char* target; // the goal, for the reader; null when there is none
};

inline constexpr int default_repetitions = 5;

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {} // no colour codes in saved output

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                per_iteration_[run.benchmark_name()].push_back(run.cpu_accumulated_time /
                                                               static_cast<double>(run.iterations));
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios(const std::vector<RatioPair>& pairs) const {
        std::printf("\nRatios (CPU time per iteration, candidate / baseline, same run; median "
                    "and min-max of the repetitions):\n");
        for (const RatioPair& pair : pairs) {
            const auto candidate = per_iteration_.find(pair.candidate);
            const auto baseline = per_iteration_.find(pair.baseline);
            if (candidate == per_iteration_.end() || baseline == per_iteration_.end()) {
                continue; // filtered out
            }
            const std::size_t count = std::min(candidate->second.size(), baseline->second.size());
            std::vector<double> ratios;
            for (std::size_t i = 0; i < count; ++i) {
                ratios.push_back(candidate->second[i] / baseline->second[i]);
            }
            std::sort(ratios.begin(), ratios.end());
            const double median = count % 2 == 1 ? ratios[count / 2]
                                                 : (ratios[count / 2 - 1] + ratios[count / 2]) / 2;
            std::printf("  %-44s / %-36s = %6.2f (%.2f-%.2f, %zu)%s%s\n", pair.candidate.c_str(),
                        pair.baseline.c_str(), median, ratios.front(), ratios.back(), count,
                        pair.target != nullptr ? "   target " : "",
                        pair.target != nullptr ? pair.target : "");
        }
        std::fflush(stdout);
    }

private:
    std::map<std::string, std::vector<double>> per_iteration_;
};

inline int RunWithRatios(int argc, char** argv, const std::vector<RatioPair>& pairs) {
    std::vector<char*> arguments(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=" + std::to_string(default_repetitions);
    if (std::none_of(arguments.begin(), arguments.end(), [](const char* argument) {
            return std::strncmp(argument, "--benchmark_repetitions", 23) == 0;
        })) {
        arguments.push_back(repetitions.data());
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(pairs);
    benchmark::Shutdown();
    return 0;
}

} // namespace tw_bench
