#pragma once
// Message boxes of a program with windows: the line on standard error as always, and
// a real dialog that stays on top. The dialog runs on the GUI thread; a caller on
// another thread (the main loop) goes on at once, so the connections of every
// application stay served while the box waits for OK. Only a fatal error's box holds
// its caller, as the process ends after it. A message whose box is still open opens
// no second one. On platforms without a screen (offscreen) nobody could close one,
// so there only the line is written.
#include <QString>

class QMessageBox;
class QWidget;

class CMessageBoxQt
{
  public:
    // Routes ShowMessageBox here; `dialogs` false writes the line only.
    static void Install(bool dialogs);
    static void Uninstall();
    // On the GUI thread: a modal box with an OK button.
    static void Show(const QString& caption, const QString& text);
    // On the GUI thread: a box with an OK button that does not wait; the one already
    // open with the same caption and text, if there is one.
    static QMessageBox* Open(const QString& caption, const QString& text);
    // On the GUI thread: ends Qt's event loop now, or once the last open box is
    // closed; `closeOpen` closes them first.
    static void QuitWhenClosed(bool closeOpen);
    // On the GUI thread: a modal Yes/No question owned by `parent`; true on Yes.
    static bool AskYesNo(QWidget* parent, const QString& caption, const QString& text);
    // On the GUI thread: closes every open box as if the user had answered No or OK.
    static void CloseAll();
    // True on platforms where no person sees the windows.
    static bool IsInvisiblePlatform();
};
