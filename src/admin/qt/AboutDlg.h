#pragma once
// "About Ostrivel Tarvi*Qen Admin": the icon and the program's name and version.
#include <QDialog>

class CAboutDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
