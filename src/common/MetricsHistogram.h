#pragma once
// A Prometheus histogram: fixed upper bounds, a count per bucket, the sum and the
// count of what was observed.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

class CMetricsHistogram
{
public:
    // Ascending upper bounds; the +Inf bucket is implied.
    explicit CMetricsHistogram(std::initializer_list<double> bounds);

    void Observe(double value);
    const std::vector<double>& Bounds() const { return m_bounds; }
    // Observations at or below Bounds()[i], cumulative as exposed; i == Bounds().size()
    // is the +Inf bucket, the count.
    uint64_t CumulativeCount(size_t i) const;
    uint64_t Count() const { return m_nCount; }
    double Sum() const { return m_dSum; }

private:
    std::vector<double> m_bounds;
    std::vector<uint64_t> m_counts; // per bucket, not cumulative; one more than bounds
    uint64_t m_nCount = 0;
    double m_dSum = 0;
};
