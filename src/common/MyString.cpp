#include "common/MyString.h"

#include <climits>
#include <cstdint>

namespace
{

void AppendNumber(std::string& out, unsigned value, int width)
{
    const std::string digits = std::to_string(value);
    out.append(digits.size() < static_cast<size_t>(width) ? width - digits.size() : 0, '0');
    out += digits;
}

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

template <class Ch>
std::optional<std::basic_string_view<Ch>> SplitTokenT(std::basic_string_view<Ch> input,
                                                      Ch separator, std::basic_string<Ch>& field,
                                                      size_t fieldSize)
{
    field.clear();
    if (input.empty())
    {
        return std::nullopt;
    }
    const size_t capacity = fieldSize > 0 ? fieldSize - 1 : 0;
    const Ch quote = static_cast<Ch>('"');
    bool quoted = false;
    size_t pos = 0;
    while (pos < input.size() && field.size() < capacity)
    {
        const Ch c = input[pos++];
        if (c == quote && !quoted)
        {
            quoted = true;
        }
        else if (c == quote && pos < input.size() && input[pos] == quote)
        {
            field.push_back(quote); // a doubled quote inside quotes
            ++pos;
        }
        else if (c == quote)
        {
            quoted = false;
        }
        else if (c == separator && !quoted)
        {
            return input.substr(pos);
        }
        else
        {
            field.push_back(c);
        }
    }
    if (pos == input.size())
    {
        return input.substr(pos);
    }
    // The field is full: its excess up to the next separator is dropped.
    const size_t next = input.find(separator, pos);
    return next == std::basic_string_view<Ch>::npos ? input.substr(input.size())
                                                    : input.substr(next + 1);
}

template <class Ch> bool IsSpace(Ch c)
{
    return c == static_cast<Ch>(' ') || (c >= static_cast<Ch>('\t') && c <= static_cast<Ch>('\r'));
}

template <class Ch> int ReadDecimalT(std::basic_string_view<Ch> text)
{
    size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos]))
    {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() &&
        (text[pos] == static_cast<Ch>('-') || text[pos] == static_cast<Ch>('+')))
    {
        negative = text[pos++] == static_cast<Ch>('-');
    }
    // Accumulated as a negative number: its range reaches INT_MIN.
    long long value = 0;
    for (; pos < text.size() && text[pos] >= static_cast<Ch>('0') &&
           text[pos] <= static_cast<Ch>('9');
         ++pos)
    {
        value = value * 10 - (text[pos] - static_cast<Ch>('0'));
        if (value < INT_MIN)
        {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    if (negative)
    {
        return static_cast<int>(value);
    }
    return value < -static_cast<long long>(INT_MAX) ? INT_MAX : static_cast<int>(-value);
}
} // namespace

std::string FormatTime(const DateTime& time, bool withMilliseconds, char separator)
{
    std::string out;
    AppendNumber(out, time.year, 4);
    out += '-';
    AppendNumber(out, time.month, 2);
    out += '-';
    AppendNumber(out, time.day, 2);
    out += ' ';
    AppendNumber(out, time.hour, 2);
    out += separator;
    AppendNumber(out, time.minute, 2);
    out += separator;
    AppendNumber(out, time.second, 2);
    if (withMilliseconds)
    {
        out += '.';
        AppendNumber(out, time.milliseconds, 3);
    }
    return out;
}

std::string NarrowCopy(std::u16string_view source, size_t size)
{
    std::string out = Utf16ToUtf8(source);
    const size_t limit = size > 0 ? size - 1 : 0;
    if (out.size() > limit)
    {
        size_t cut = limit;
        while (cut > 0 && IsContinuation(static_cast<unsigned char>(out[cut])))
        {
            --cut;
        }
        out.resize(cut);
    }
    return out;
}

void StripLineEnd(std::string& text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
    {
        text.pop_back();
    }
}

std::optional<std::string_view> SplitToken(std::string_view input, char separator,
                                           std::string& field, size_t fieldSize)
{
    return SplitTokenT(input, separator, field, fieldSize);
}

std::optional<std::u16string_view> SplitTokenW(std::u16string_view input, char16_t separator,
                                               std::u16string& field, size_t fieldSize)
{
    return SplitTokenT(input, separator, field, fieldSize);
}

void Trim(std::string& text)
{
    const size_t start = text.find_first_not_of(" \t");
    const size_t end = text.find_last_not_of(" \t");
    text = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

int ReadDecimal(std::string_view text)
{
    return ReadDecimalT(text);
}

int ReadDecimalW(std::u16string_view text)
{
    return ReadDecimalT(text);
}
