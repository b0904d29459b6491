// The console's field splitter on any text and separator, against a plain model of
// its rules: the same field and the same rest, call after call, until the text is
// used up; an empty text gives empty fields for ever.
//
// Input: the separator (two bytes, little-endian), then the text as UTF-16LE.
#include "FuzzSupport.h"

#include "admin/NextField.h"

namespace
{

std::u16string ModelField(std::u16string& source, char16_t separator)
{
    std::u16string field;
    bool quoted = false;
    for (size_t i = 0; i < source.size(); ++i)
    {
        const char16_t c = source[i];
        if (c == u'"' && !quoted)
            quoted = true;
        else if (c == u'"' && i + 1 < source.size() && source[i + 1] == u'"')
            field.push_back(source[++i]);
        else if (c == u'"')
            quoted = false;
        else if (c == separator && !quoted)
        {
            source = source.substr(i + 1);
            return field;
        }
        else
            field.push_back(c);
    }
    source.clear();
    return field;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    tq_fuzz::ByteReader reader(data, size);
    const auto separator = static_cast<char16_t>(reader.Byte() | reader.Byte() << 8);
    std::u16string text;
    for (const auto bytes = reader.Rest(); text.size() * 2 + 1 < bytes.size();)
        text.push_back(static_cast<char16_t>(bytes[text.size() * 2] | bytes[text.size() * 2 + 1] << 8));

    std::u16string source = text;
    std::u16string model = text;
    for (size_t calls = 0; calls <= text.size() + 1; ++calls)
    {
        const size_t before = source.size();
        const std::u16string field = nextField(source, separator);
        FUZZ_CHECK(field == ModelField(model, separator));
        FUZZ_CHECK(source == model);
        FUZZ_CHECK(field.size() <= before);
        FUZZ_CHECK(source.empty() || source.size() < before);
        if (before == 0)
        {
            FUZZ_CHECK(field.empty());
            break;
        }
    }
    FUZZ_CHECK(source.empty());
    return 0;
}
