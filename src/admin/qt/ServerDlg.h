#pragma once
// The server dialog of the Add and Edit commands: name, address, port and password of
// one server definition. OK ("Add" or "Apply") checks the fields and stays open with
// an error box while one is wrong.
#include "admin/ServerDefinition.h"

#include <QDialog>

class QDialogButtonBox;
class QLineEdit;
class CPasswordEdit;
class QPushButton;

class CServerDlg : public QDialog
{
    Q_OBJECT

public:
    // `title` is "Add" or "Edit"; the fields start with the definition's values.
    CServerDlg(const QString& title, const CServerDefinition& definition,
               QWidget* parent = nullptr);

    // The values entered, after the dialog closed with OK.
    const CServerDefinition& definition() const { return m_definition; }

    QLineEdit* nameEdit() const { return m_pName; }
    QLineEdit* addressEdit() const { return m_pAddress; }
    QLineEdit* portEdit() const { return m_pPort; }
    CPasswordEdit* passwordEdit() const { return m_pPassword; }
    QPushButton* okButton() const;

public Q_SLOTS:
    void accept() override;

private:
    void createControls(const QString& title);

    CServerDefinition m_definition;
    QLineEdit* m_pName = nullptr;
    QLineEdit* m_pAddress = nullptr;
    QLineEdit* m_pPort = nullptr;
    CPasswordEdit* m_pPassword = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
};
