#include "admin/NextField.h"

std::u16string nextField(std::u16string& source, char16_t separator)
{
    // Most fields hold no double quote: taken whole, without walking them twice.
    const char16_t stops[] = {u'"', separator};
    const size_t stop = source.find_first_of(stops, 0, 2);
    // A double quote is never a separator, even when one is asked to separate.
    if (stop == std::u16string::npos || source[stop] != u'"')
    {
        std::u16string field = source.substr(0, stop);
        source.erase(0, stop == std::u16string::npos ? stop : stop + 1);
        return field;
    }
    std::u16string field;
    field.reserve(source.size());
    bool quoted = false;
    for (size_t i = 0; i < source.size(); ++i)
    {
        const char16_t c = source[i];
        if (c == u'"' && !quoted)
            quoted = true;
        else if (c == u'"' && i + 1 < source.size() && source[i + 1] == u'"')
        {
            field.push_back(u'"');
            ++i;
        }
        else if (c == u'"')
            quoted = false;
        else if (c == separator && !quoted)
        {
            source.erase(0, i + 1);
            return field;
        }
        else
            field.push_back(c);
    }
    source.clear();
    return field;
}
