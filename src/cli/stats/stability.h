// The figures `stats` gives a run of readings: mean, spread, drift, and the
// overlapping and modified Allan deviations of fractional frequency, each by
// its textbook definition. Stretches of readings split by gaps are taken
// apart: no term of a deviation spans a gap.
#pragma once

#include <cstddef>
#include <vector>

namespace tallyo::stats {

// A stretch of readings with no gap inside: [begin, end).
struct Stretch {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The stretches of `count` readings, a new one starting at each split.
std::vector<Stretch> stretchesOf(std::size_t count, const std::vector<std::size_t> &splits);

struct Summary {
    double mean = 0;
    double standardDeviation = 0; // of the sample (n - 1)
    double minimum = 0;
    double maximum = 0;
    double slopePerSecond = 0; // least-squares line of value against time
};

// Needs two values or more, and `times` as many as `values`.
Summary summarize(const std::vector<double> &values, const std::vector<double> &times);

struct Deviation {
    double value = 0;
    long long terms = 0; // 0: no stretch is long enough
};

// The phase of fractional frequencies y, in units of the spacing, stretch by
// stretch: a stretch of n values gives n + 1 phase points, from 0.
class Phase {
public:
    // `values` are the fractional frequencies y themselves; or, with a
    // `reference` frequency, frequencies f, and y = (f - reference) / reference.
    Phase(const std::vector<double> &values, const std::vector<Stretch> &stretches, double reference = 0);

    // At tau = m spacings:
    //   overlapping: sigma^2 = sum (x[i+2m] - 2 x[i+m] + x[i])^2 / (2 m^2 terms)
    //   modified:    sigma^2 = sum (sum over m i of those) ^2 / (2 m^4 terms)
    // summed over the stretches, each on its own.
    Deviation overlappingAllan(std::size_t m) const;
    Deviation modifiedAllan(std::size_t m) const;

private:
    std::vector<double> m_x;
    std::vector<Stretch> m_stretches; // of m_x
};

// Averaging factors m = 1, 2, 4, ... up to a third of `count` readings.
std::vector<std::size_t> octaveFactors(std::size_t count);

} // namespace tallyo::stats
