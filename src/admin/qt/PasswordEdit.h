#pragma once
// A password field: the text shows as dots until the eye at its right end is clicked,
// and hides again at the next click.
#include <QLineEdit>

class QAction;

class CPasswordEdit : public QLineEdit
{
    Q_OBJECT

public:
    explicit CPasswordEdit(const QString& text = {}, QWidget* parent = nullptr);

    // The eye: checked while the password shows in clear.
    QAction* showAction() const { return m_pShow; }

private:
    QAction* m_pShow = nullptr;
};
