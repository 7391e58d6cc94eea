#pragma once
// The few statistics the benchmark programs print: microseconds, percentiles and medians.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace kivo::bench {

using Series = std::vector<double>;

inline double Microseconds(std::chrono::steady_clock::duration D) {
    return std::chrono::duration<double, std::micro>(D).count();
}

struct Percentiles {
    double P50 = 0;
    double P99 = 0;
};

inline Percentiles Summarise(Series Samples) {
    std::sort(Samples.begin(), Samples.end());
    const auto At = [&](double Q) {
        return Samples.at(static_cast<std::size_t>(Q * static_cast<double>(Samples.size() - 1)));
    };
    return {At(0.50), At(0.99)};
}

inline double Median(Series Values) {
    std::sort(Values.begin(), Values.end());
    return Values.at(Values.size() / 2);
}

// The percentiles of several runs, and their medians.
struct PercentileRuns {
    Series P50;
    Series P99;

    void Add(const Percentiles& Run) {
        P50.push_back(Run.P50);
        P99.push_back(Run.P99);
    }
    [[nodiscard]] Percentiles Medians() const { return {Median(P50), Median(P99)}; }
};

} // namespace kivo::bench
