#include "admin/qt/AdminMessageBox.h"

#include "admin/ConsoleCommands.h"

#include <QMessageBox>

namespace
{
QuestionHandler g_question;
ErrorHandler g_error;
} // namespace

bool AskQuestion(QWidget* parent, const QString& text)
{
    if (g_question)
        return g_question(parent, text);
    return QMessageBox::question(parent, QString::fromUtf8(PROGRAM_TITLE), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void ShowError(QWidget* parent, const QString& text)
{
    if (g_error)
        g_error(parent, text);
    else
        QMessageBox::critical(parent, QString::fromUtf8(PROGRAM_TITLE), text);
}

void SetQuestionHandler(QuestionHandler handler)
{
    g_question = std::move(handler);
}

void SetErrorHandler(ErrorHandler handler)
{
    g_error = std::move(handler);
}
