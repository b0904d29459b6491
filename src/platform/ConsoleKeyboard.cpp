#include "platform/ConsoleKeyboard.h"

#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

CConsoleKeyboard::CConsoleKeyboard()
{
    static_assert(sizeof(termios) <= sizeof(m_savedState), "termios must fit the saved state");
    termios saved{};
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0)
    {
        return;
    }
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
    {
        return;
    }
    std::memcpy(m_savedState, &saved, sizeof(saved));
    m_bActive = true;
}

CConsoleKeyboard::~CConsoleKeyboard()
{
    if (m_bActive)
    {
        termios saved{};
        std::memcpy(&saved, m_savedState, sizeof(saved));
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

bool CConsoleKeyboard::TakeKey()
{
    if (!m_bActive)
    {
        return false;
    }
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0)
    {
        return false;
    }
    unsigned char key = 0;
    return read(STDIN_FILENO, &key, 1) == 1;
}
