#include "common/MetricsText.h"

#include "common/Assert.h"
#include "common/MetricsHistogram.h"

#include <charconv>
#include <cmath>

namespace
{
bool IsNameStart(char c, bool labelName)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!labelName && c == ':');
}
} // namespace

bool CMetricsText::IsValidName(std::string_view name, bool labelName)
{
    if (name.empty() || !IsNameStart(name[0], labelName))
        return false;
    for (const char c : name)
        if (!IsNameStart(c, labelName) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

std::string CMetricsText::EscapeLabelValue(std::string_view value)
{
    std::string text;
    text.reserve(value.size());
    for (const char c : value)
    {
        if (c == '\\')
            text += "\\\\";
        else if (c == '"')
            text += "\\\"";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

std::string CMetricsText::EscapeHelp(std::string_view text)
{
    std::string escaped;
    for (const char c : text)
    {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

std::string CMetricsText::FormatValue(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

void CMetricsText::Family(std::string_view name, std::string_view type, std::string_view help)
{
    TQ_ASSERT(IsValidName(name));
    m_text.append("# HELP ").append(name).append(" ").append(EscapeHelp(help)).append("\n");
    m_text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void CMetricsText::Sample(std::string_view name, uint64_t value, Labels labels)
{
    SampleLine(name, std::to_string(value), labels);
}

void CMetricsText::Sample(std::string_view name, double value, Labels labels)
{
    SampleLine(name, FormatValue(value), labels);
}

void CMetricsText::Histogram(std::string_view name, std::string_view help,
                             const CMetricsHistogram& histogram)
{
    Family(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    const std::vector<double>& bounds = histogram.Bounds();
    for (size_t i = 0; i <= bounds.size(); ++i)
    {
        const std::string bound = FormatValue(i < bounds.size() ? bounds[i] : INFINITY);
        const Label le{"le", bound};
        SampleLine(bucket, std::to_string(histogram.CumulativeCount(i)), {}, &le);
    }
    Sample(std::string(name) + "_sum", histogram.Sum());
    Sample(std::string(name) + "_count", histogram.Count());
}

void CMetricsText::SampleLine(std::string_view name, std::string_view value, Labels labels,
                              const Label* extra)
{
    TQ_ASSERT(IsValidName(name));
    m_text.append(name);
    if (labels.size() != 0 || extra != nullptr)
    {
        char separator = '{';
        const auto append = [&](const Label& label) {
            TQ_ASSERT(IsValidName(label.first, true));
            m_text.append(1, separator).append(label.first).append("=\"");
            m_text.append(EscapeLabelValue(label.second)).append("\"");
            separator = ',';
        };
        for (const Label& label : labels)
            append(label);
        if (extra != nullptr)
            append(*extra);
        m_text.append("}");
    }
    m_text.append(" ").append(value).append("\n");
}
