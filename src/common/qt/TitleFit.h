#pragma once
// Dialogs and message boxes as wide as their title needs: a window manager cuts a
// title that does not fit ("Ostriv... Admin") when the box is narrower than it.
class QDialog;

// Widens `dialog` (a message box through its layout) to show its whole title.
void FitTitle(QDialog& dialog);
