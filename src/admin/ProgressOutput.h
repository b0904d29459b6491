#pragma once
// The progress bar of the connect dialog, as the connection drives it.
class IProgressOutput
{
public:
    virtual ~IProgressOutput() = default;
    virtual void setRange(int lower, int upper) = 0;
    virtual void setPosition(int position) = 0;
};
