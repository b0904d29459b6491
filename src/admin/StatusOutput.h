#pragma once
// The status line of the connect dialog, as the connection drives it.
#include <string>

class IStatusOutput
{
public:
    virtual ~IStatusOutput() = default;
    // UTF-8 text.
    virtual void setText(const std::string& text) = 0;
};
