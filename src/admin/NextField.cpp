#include "admin/NextField.h"

std::u16string nextField(std::u16string& source, char16_t separator)
{
    std::u16string field;
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
