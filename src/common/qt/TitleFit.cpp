#include "common/qt/TitleFit.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace
{
// Title bars use a bold font and hold an icon and up to three buttons.
constexpr int TITLE_BAR_EXTRA = 120;
} // namespace

void FitTitle(QDialog& dialog)
{
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const int width = QFontMetrics(font).horizontalAdvance(dialog.windowTitle()) + TITLE_BAR_EXTRA;
    // A message box sets its own fixed size from its layout's minimum.
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
        grid != nullptr && qobject_cast<QMessageBox*>(&dialog) != nullptr)
    {
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
        return;
    }
    dialog.setMinimumWidth(width);
}
