#include "admin/ServerFields.h"

#include "admin/ServerDefinition.h"
#include "admin/ServerList.h"

#include <climits>

std::optional<std::string> ReadPortField(const std::u16string& portText, int& port)
{
    long long value = 0;
    for (const char16_t c : portText)
    {
        if (c < u'0' || c > u'9' || value > INT_MAX)
            return "Please enter an integer.";
        value = value * 10 + (c - u'0');
    }
    if (portText.empty() || value > INT_MAX)
        return "Please enter an integer.";
    port = static_cast<int>(value);
    return std::nullopt;
}

std::optional<std::string> CheckServerFields(const ServerFields& fields, int& port)
{
    if (auto error = ReadPortField(fields.portText, port))
        return error;
    if (fields.name.empty())
        return "Name can't be empty.";
    if (fields.address.empty())
        return "Address can't be empty.";
    if (port < 1 || port > 65534)
        return "Invalid port number.";
    if (fields.name.size() > CServerList::MAX_NAME_LENGTH)
        return "Name can't be longer than 255 characters.";
    const CServerDefinition stored(fields.name, fields.address, port, fields.password);
    if (CServerList::FormatValue(stored).size() * 2 > CServerList::MAX_VALUE_BYTES)
        return "Address and password are too long to be stored.";
    return std::nullopt;
}
