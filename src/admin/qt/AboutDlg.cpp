#include "admin/qt/AboutDlg.h"

#include "admin/ConsoleCommands.h"
#include "admin/qt/AdminIcon.h"
#include "common/qt/TitleFit.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QString::fromStdString(AboutTitle()));
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap::fromImage(DrawAdminIcon(48)));
    auto* line = new QLabel(QString::fromStdString(AboutLine()));
    line->setObjectName(QStringLiteral("aboutLine"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &CAboutDlg::accept);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addWidget(line, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    FitTitle(*this);
}
