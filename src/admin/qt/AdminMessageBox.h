#pragma once
// The console's question and error boxes. Every one goes through these functions, so
// that a test can answer the questions and read the errors instead of a person.
#include <QString>

#include <functional>

class QWidget;

// Yes/No; true for Yes.
using QuestionHandler = std::function<bool(QWidget* parent, const QString& text)>;
using ErrorHandler = std::function<void(QWidget* parent, const QString& text)>;

bool AskQuestion(QWidget* parent, const QString& text);
void ShowError(QWidget* parent, const QString& text);

// Null puts the message boxes back.
void SetQuestionHandler(QuestionHandler handler);
void SetErrorHandler(ErrorHandler handler);
