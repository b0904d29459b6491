#include "admin/qt/AdminMessageBox.h"

#include "admin/ConsoleCommands.h"
#include "common/qt/TitleFit.h"

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
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(PROGRAM_TITLE), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    FitTitle(box);
    return box.exec() == QMessageBox::Yes;
}

void ShowError(QWidget* parent, const QString& text)
{
    if (g_error)
    {
        g_error(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(PROGRAM_TITLE), text,
                    QMessageBox::Ok, parent);
    FitTitle(box);
    box.exec();
}

void SetQuestionHandler(QuestionHandler handler)
{
    g_question = std::move(handler);
}

void SetErrorHandler(ErrorHandler handler)
{
    g_error = std::move(handler);
}
