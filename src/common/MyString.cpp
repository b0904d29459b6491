#include "common/MyString.h"

#include <climits>
#include <cstdint>

namespace
{

template <class Ch> void AppendNumber(std::basic_string<Ch>& out, unsigned value, int width)
{
    Ch digits[10];
    int count = 0;
    do
    {
        digits[count++] = static_cast<Ch>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = count; i < width; ++i)
    {
        out.push_back(static_cast<Ch>('0'));
    }
    while (count > 0)
    {
        out.push_back(digits[--count]);
    }
}

template <class Ch>
std::basic_string<Ch> FormatTimeT(const DateTime& time, bool withMilliseconds, Ch separator)
{
    std::basic_string<Ch> out;
    AppendNumber(out, time.year, 4);
    out.push_back(static_cast<Ch>('-'));
    AppendNumber(out, time.month, 2);
    out.push_back(static_cast<Ch>('-'));
    AppendNumber(out, time.day, 2);
    out.push_back(static_cast<Ch>(' '));
    AppendNumber(out, time.hour, 2);
    out.push_back(separator);
    AppendNumber(out, time.minute, 2);
    out.push_back(separator);
    AppendNumber(out, time.second, 2);
    if (withMilliseconds)
    {
        out.push_back(static_cast<Ch>('.'));
        AppendNumber(out, time.milliseconds, 3);
    }
    return out;
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

template <class Ch> void TrimT(std::basic_string<Ch>& text)
{
    const auto blank = [](Ch c) { return c == static_cast<Ch>(' ') || c == static_cast<Ch>('\t'); };
    size_t end = text.size();
    while (end > 0 && blank(text[end - 1]))
    {
        --end;
    }
    size_t start = 0;
    while (start < end && blank(text[start]))
    {
        ++start;
    }
    text = text.substr(start, end - start);
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
    return FormatTimeT(time, withMilliseconds, separator);
}

std::u16string FormatTimeW(const DateTime& time, bool withMilliseconds, char16_t separator)
{
    return FormatTimeT(time, withMilliseconds, separator);
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

void TrimW(std::u16string& text)
{
    TrimT(text);
}

void Trim(std::string& text)
{
    TrimT(text);
}

int HexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
    {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f')
    {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F')
    {
        return c - u'A' + 10;
    }
    return -1;
}

bool ParseNumberW(std::u16string_view text, int& number)
{
    // Blanks first, then tabs; a blank after a tab stays.
    size_t pos = 0;
    while (pos < text.size() && text[pos] == u' ')
    {
        ++pos;
    }
    while (pos < text.size() && text[pos] == u'\t')
    {
        ++pos;
    }
    text.remove_prefix(pos);
    if (text.starts_with(u"0x"))
    {
        int value = 0;
        for (size_t i = 2; i < 6; ++i)
        {
            const int digit = i < text.size() ? HexDigitValue(text[i]) : -1;
            if (digit < 0)
            {
                return false;
            }
            value = value * 16 + digit;
        }
        number = value;
        return true;
    }
    // The decimal text is read from a buffer of 20 bytes: 19 characters at most.
    number = ReadDecimal(Utf16ToUtf8(text.substr(0, 19)));
    return true;
}

int ReadDecimal(std::string_view text)
{
    return ReadDecimalT(text);
}

int ReadDecimalW(std::u16string_view text)
{
    return ReadDecimalT(text);
}

