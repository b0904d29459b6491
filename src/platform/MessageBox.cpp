#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace
{
std::mutex g_handlerMutex;
MessageBoxHandler g_handler;
} // namespace

void WriteMessageBoxLine(std::string_view caption, std::string_view text)
{
    std::string line;
    line.reserve(caption.size() + text.size() + 3);
    line.append(caption).append(": ").append(text).append("\n");
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void ShowMessageBox(std::string_view caption, std::string_view text)
{
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_handlerMutex);
        handler = g_handler;
    }
    if (handler)
    {
        handler(caption, text);
    }
    else
    {
        WriteMessageBoxLine(caption, text);
    }
}

void SetMessageBoxHandler(MessageBoxHandler handler)
{
    std::lock_guard lock(g_handlerMutex);
    g_handler = std::move(handler);
}
