#include "admin/qt/PasswordEdit.h"

#include <QAction>
#include <QPainter>
#include <QPixmap>

namespace
{
// An eye, crossed out while the password is hidden.
QIcon EyeIcon(bool crossed)
{
    constexpr int SIZE = 16;
    QPixmap pixmap(SIZE, SIZE);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::darkGray, 1.5));
    painter.drawEllipse(QRectF(1.5, 4.5, 13, 7));
    painter.setBrush(Qt::darkGray);
    painter.drawEllipse(QPointF(8, 8), 2, 2);
    if (crossed)
        painter.drawLine(QPointF(2.5, 13.5), QPointF(13.5, 2.5));
    return QIcon(pixmap);
}
} // namespace

CPasswordEdit::CPasswordEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent)
{
    setEchoMode(QLineEdit::Password);
    m_pShow = addAction(EyeIcon(true), QLineEdit::TrailingPosition);
    m_pShow->setCheckable(true);
    m_pShow->setToolTip(tr("Show password"));
    connect(m_pShow, &QAction::toggled, this,
            [this](bool shown)
            {
                setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
                m_pShow->setIcon(EyeIcon(!shown));
                m_pShow->setToolTip(shown ? tr("Hide password") : tr("Show password"));
            });
}
