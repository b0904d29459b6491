#pragma once
// Builds a page of the Prometheus text exposition format (version 0.0.4): families
// with their HELP and TYPE lines, samples with escaped label values, histograms.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

class CMetricsHistogram;

class CMetricsText
{
public:
    using Label = std::pair<std::string_view, std::string_view>;
    using Labels = std::initializer_list<Label>;
    static constexpr const char* CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

    // Starts a family: its HELP and TYPE lines ("counter", "gauge", "histogram").
    void Family(std::string_view name, std::string_view type, std::string_view help);
    // One sample line of the family just started (or of one of its series).
    void Sample(std::string_view name, uint64_t value, Labels labels = {});
    void Sample(std::string_view name, double value, Labels labels = {});
    // A whole histogram family: buckets, sum and count.
    void Histogram(std::string_view name, std::string_view help, const CMetricsHistogram& histogram);

    const std::string& Text() const { return m_text; }

    // [a-zA-Z_:][a-zA-Z0-9_:]* (label names: without the colons).
    static bool IsValidName(std::string_view name, bool labelName = false);
    // Label values escape backslash, double quote and line feed; HELP texts the first
    // and the last.
    static std::string EscapeLabelValue(std::string_view value);
    static std::string EscapeHelp(std::string_view text);
    // Shortest text that reads back as the same double; "+Inf", "-Inf", "NaN".
    static std::string FormatValue(double value);

private:
    void SampleLine(std::string_view name, std::string_view value, Labels labels,
                    const Label* extra = nullptr);

    std::string m_text;
};
