#include "admin/qt/LogWindow.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

CLogWindow* CLogWindow::Open(const QString& path, QWidget* parent)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    // The server ends its log lines with CR LF.
    const QString text =
        QString::fromUtf8(file.readAll()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    auto* window = new CLogWindow(path, text, parent);
    window->show();
    return window;
}

CLogWindow::CLogWindow(const QString& path, const QString& text, QWidget* parent) : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QFileInfo(path).fileName());
    m_pText = new QPlainTextEdit;
    m_pText->setReadOnly(true);
    m_pText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pText->setPlainText(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLogWindow::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pText);
    layout->addWidget(buttons);
    resize(760, 480);
}

QString CLogWindow::text() const
{
    return m_pText->toPlainText();
}
