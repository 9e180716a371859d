#include "stability.h"

#include <algorithm>
#include <cmath>

namespace tallyo::stats {

std::vector<Stretch> stretchesOf(std::size_t count, const std::vector<std::size_t> &splits)
{
    std::vector<Stretch> stretches;
    std::size_t begin = 0;
    for (const std::size_t split : splits) {
        if (split > begin && split < count) {
            stretches.push_back({begin, split});
            begin = split;
        }
    }
    if (begin < count)
        stretches.push_back({begin, count});
    return stretches;
}

Summary summarize(const std::vector<double> &values, const std::vector<double> &times)
{
    Summary summary;
    const std::size_t n = values.size();
    // Sums about the first value keep the digits of a 10 MHz reading.
    const long double origin = values.front();
    long double sum = 0;
    long double timeSum = 0;
    summary.minimum = summary.maximum = values.front();
    for (std::size_t i = 0; i < n; ++i) {
        sum += values[i] - origin;
        timeSum += times[i];
        summary.minimum = std::min(summary.minimum, values[i]);
        summary.maximum = std::max(summary.maximum, values[i]);
    }
    const long double meanOffset = sum / n;
    const long double meanTime = timeSum / n;
    long double squares = 0;
    long double products = 0;
    long double timeSquares = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const long double d = (values[i] - origin) - meanOffset;
        const long double t = times[i] - meanTime;
        squares += d * d;
        products += d * t;
        timeSquares += t * t;
    }
    summary.mean = double(origin + meanOffset);
    summary.standardDeviation = double(std::sqrt(squares / (n - 1)));
    summary.slopePerSecond = timeSquares > 0 ? double(products / timeSquares) : 0.0;
    return summary;
}

Phase::Phase(const std::vector<double> &values, const std::vector<Stretch> &stretches, double reference)
{
    m_x.reserve(values.size() + stretches.size());
    const long double scale = reference > 0 ? 1.0L / reference : 1.0L;
    for (const Stretch &stretch : stretches) {
        // About the stretch's mean: the same deviations (an offset of y
        // cancels in them), with fewer digits lost.
        long double mean = 0;
        for (std::size_t i = stretch.begin; i < stretch.end; ++i)
            mean += values[i];
        mean /= (stretch.end - stretch.begin);
        const std::size_t begin = m_x.size();
        long double x = 0;
        m_x.push_back(0);
        for (std::size_t i = stretch.begin; i < stretch.end; ++i) {
            x += (values[i] - mean) * scale;
            m_x.push_back(double(x));
        }
        m_stretches.push_back({begin, m_x.size()});
    }
}

Deviation Phase::overlappingAllan(std::size_t m) const
{
    long double sum = 0;
    long long terms = 0;
    for (const Stretch &s : m_stretches) {
        for (std::size_t i = s.begin; i + 2 * m < s.end; ++i) {
            const double d = m_x[i + 2 * m] - 2 * m_x[i + m] + m_x[i];
            sum += d * d;
            ++terms;
        }
    }
    if (terms == 0)
        return {};
    return {double(std::sqrt(sum / (2.0L * m * m * terms))), terms};
}

Deviation Phase::modifiedAllan(std::size_t m) const
{
    long double sum = 0;
    long long terms = 0;
    for (const Stretch &s : m_stretches) {
        if (s.end - s.begin < 3 * m)
            continue;
        // A window of m second differences, slid along the stretch.
        auto second = [&](std::size_t i) { return m_x[i + 2 * m] - 2 * m_x[i + m] + m_x[i]; };
        double window = 0;
        for (std::size_t i = s.begin; i < s.begin + m; ++i)
            window += second(i);
        for (std::size_t j = s.begin;; ++j) {
            sum += window * window;
            ++terms;
            if (j + 3 * m >= s.end)
                break;
            window += second(j + m) - second(j);
        }
    }
    if (terms == 0)
        return {};
    const long double mm = (long double)m * m;
    return {double(std::sqrt(sum / (2.0L * mm * mm * terms))), terms};
}

std::vector<std::size_t> octaveFactors(std::size_t count)
{
    std::vector<std::size_t> factors;
    for (std::size_t m = 1; m <= count / 3; m *= 2)
        factors.push_back(m);
    return factors;
}

} // namespace tallyo::stats
