#pragma once
// Message boxes. A program without a window writes one line "caption: text" to
// standard error; a GUI program installs a handler that shows a dialog as well.
#include <functional>
#include <string_view>

using MessageBoxHandler = std::function<void(std::string_view caption, std::string_view text)>;

void ShowMessageBox(std::string_view caption, std::string_view text);
// The line "caption: text" on standard error, which a handler writes before its dialog.
void WriteMessageBoxLine(std::string_view caption, std::string_view text);
void SetMessageBoxHandler(MessageBoxHandler handler);
