// The Prometheus text page: names, types, label escaping and histograms as a scraper
// parses them.
#include "common/MetricsHistogram.h"
#include "common/MetricsText.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(MetricsTextTest, NamesFollowThePrometheusGrammar)
{
    for (const char* name : {"tarviqen_sessions", "a:b_c", "_x9", "A"})
        EXPECT_TRUE(CMetricsText::IsValidName(name)) << name;
    for (const char* name : {"", "9a", "a-b", "a b", "a.b", "é"})
        EXPECT_FALSE(CMetricsText::IsValidName(name)) << name;
    EXPECT_TRUE(CMetricsText::IsValidName("cause", true));
    EXPECT_FALSE(CMetricsText::IsValidName("a:b", true)) << "label names have no colon";
}

TEST(MetricsTextTest, FamiliesSamplesAndEscaping)
{
    CMetricsText page;
    page.Family("t_total", "counter", "Help with \\ and\nline.");
    page.Sample("t_total", uint64_t{18446744073709551615u});
    page.Sample("t_total", uint64_t{3}, {{"cause", "a\"b\\c\nd"}, {"x", ""}});
    page.Family("g", "gauge", "G.");
    page.Sample("g", 1.5);
    page.Sample("g", 1e21);
    page.Sample("g", 0.1 + 0.2);
    EXPECT_EQ(page.Text(), "# HELP t_total Help with \\\\ and\\nline.\n"
                           "# TYPE t_total counter\n"
                           "t_total 18446744073709551615\n"
                           "t_total{cause=\"a\\\"b\\\\c\\nd\",x=\"\"} 3\n"
                           "# HELP g G.\n"
                           "# TYPE g gauge\n"
                           "g 1.5\n"
                           "g 1e+21\n"
                           "g 0.30000000000000004\n");
    EXPECT_EQ(CMetricsText::FormatValue(INFINITY), "+Inf");
    EXPECT_EQ(CMetricsText::FormatValue(-INFINITY), "-Inf");
    EXPECT_EQ(CMetricsText::FormatValue(NAN), "NaN");
}

TEST(MetricsTextTest, HistogramBucketsAreCumulativeWithInfAndBoundaryInclusive)
{
    CMetricsHistogram histogram{0.5, 1};
    for (const double value : {0.1, 0.5, 0.7, 1.0, 3.0})
        histogram.Observe(value);
    CMetricsText page;
    page.Histogram("h_seconds", "H.", histogram);
    EXPECT_EQ(page.Text(), "# HELP h_seconds H.\n"
                           "# TYPE h_seconds histogram\n"
                           "h_seconds_bucket{le=\"0.5\"} 2\n"
                           "h_seconds_bucket{le=\"1\"} 4\n"
                           "h_seconds_bucket{le=\"+Inf\"} 5\n"
                           "h_seconds_sum 5.3\n"
                           "h_seconds_count 5\n");
}
