#include "common/MetricsHistogram.h"

#include <algorithm>

CMetricsHistogram::CMetricsHistogram(std::initializer_list<double> bounds)
    : m_bounds(bounds), m_counts(bounds.size() + 1, 0)
{
}

void CMetricsHistogram::Observe(double value)
{
    // The first bound at or above the value; past the last one: the +Inf bucket.
    const auto it = std::lower_bound(m_bounds.begin(), m_bounds.end(), value);
    ++m_counts[static_cast<size_t>(it - m_bounds.begin())];
    ++m_nCount;
    m_dSum += value;
}

uint64_t CMetricsHistogram::CumulativeCount(size_t i) const
{
    uint64_t total = 0;
    for (size_t j = 0; j <= i && j < m_counts.size(); ++j)
        total += m_counts[j];
    return total;
}
