#pragma once
// Key presses on the console: when standard input is a terminal it is put into
// non-canonical, no-echo mode for the object's lifetime, and a readable byte is a key.
class CConsoleKeyboard
{
public:
    CConsoleKeyboard();
    ~CConsoleKeyboard();
    CConsoleKeyboard(const CConsoleKeyboard&) = delete;
    CConsoleKeyboard& operator=(const CConsoleKeyboard&) = delete;
    bool IsActive() const { return m_bActive; }
    // Descriptor to wait on (standard input), or -1 when inactive.
    int Handle() const { return m_bActive ? 0 : -1; }
    // True and consumes the key when one has been pressed.
    bool TakeKey();

private:
    bool m_bActive = false;
    unsigned char m_savedState[64] = {};
};
