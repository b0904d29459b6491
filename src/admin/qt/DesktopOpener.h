#pragma once
// Opens a file with the desktop's program for its type. Qt's opener only reports
// whether xdg-open started, not whether a program took the file, so the desktop is
// asked first (xdg-mime) whether it has a program for the type at all.
#include <QString>

// False when the desktop names no program for the file's type or the opener could
// not start; the caller then shows the file itself.
bool OpenWithDesktopProgram(const QString& path);
