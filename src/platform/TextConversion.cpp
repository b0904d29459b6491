#include "platform/TextConversion.h"

#include <algorithm>
#include <cstdint>

namespace
{
constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes one UTF-8 character at `pos` and advances past it. An invalid or cut
// sequence (overlong, surrogate, beyond U+10FFFF) gives false with U+FFFD and
// advances past its longest valid beginning.
bool DecodeUtf8(std::string_view text, size_t& pos, char32_t& value)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos++]);
    value = REPLACEMENT_CHARACTER;
    if (lead < 0x80)
    {
        value = lead;
        return true;
    }
    int length = 0;
    char32_t decoded = 0;
    unsigned char low = 0x80; // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
        decoded = lead & 0x1F;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        decoded = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        decoded = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    }
    else
        return false;
    for (int i = 1; i < length; ++i)
    {
        if (pos >= text.size())
            return false;
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        if (i == 1 ? (c < low || c > high) : (c & 0xC0) != 0x80)
            return false;
        decoded = (decoded << 6) | (c & 0x3F);
        ++pos;
    }
    value = decoded;
    return true;
}

void AppendUtf16(std::u16string& out, char32_t c)
{
    if (c >= 0x10000)
    {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
    else
        out.push_back(static_cast<char16_t>(c));
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80)
        out.push_back(static_cast<char>(c));
    else if (c < 0x800)
    {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else if (c < 0x10000)
    {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else
    {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Converts the whole text; false if any sequence was invalid.
bool Convert(std::string_view text, std::u16string& out)
{
    out.clear();
    out.reserve(text.size());
    bool valid = true;
    for (size_t pos = 0; pos < text.size();)
    {
        char32_t c = 0;
        valid = DecodeUtf8(text, pos, c) && valid;
        AppendUtf16(out, c);
    }
    return valid;
}
} // namespace

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    Convert(text, out);
    return out;
}

bool Utf8ToUtf16Strict(std::string_view text, std::u16string& out) { return Convert(text, out); }

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size(); ++pos)
    {
        const char32_t c = text[pos];
        if (IsHighSurrogate(c) && pos + 1 < text.size() && IsLowSurrogate(text[pos + 1]))
        {
            const char32_t low = text[++pos];
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        }
        else if (IsHighSurrogate(c) || IsLowSurrogate(c))
            AppendUtf8(out, REPLACEMENT_CHARACTER);
        else
            AppendUtf8(out, c);
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}
