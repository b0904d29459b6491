#pragma once
// The server log in a read-only window of the console's own, for a desktop that has
// no program to open the downloaded file with.
#include <QDialog>

class QPlainTextEdit;

class CLogWindow : public QDialog
{
    Q_OBJECT

public:
    // Null when the file cannot be read.
    static CLogWindow* Open(const QString& path, QWidget* parent);

    QString text() const;

private:
    CLogWindow(const QString& path, const QString& text, QWidget* parent);

    QPlainTextEdit* m_pText = nullptr;
};
