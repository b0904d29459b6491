#include "admin/qt/ServerDlg.h"

#include "admin/ServerFields.h"
#include "admin/qt/AdminMessageBox.h"
#include "admin/qt/PasswordEdit.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

CServerDlg::CServerDlg(const QString& title, const CServerDefinition& definition, QWidget* parent)
    : QDialog(parent), m_definition(definition)
{
    createControls(title);
}

void CServerDlg::createControls(const QString& title)
{
    setWindowTitle(title);
    m_pName = new QLineEdit(QString::fromStdU16String(m_definition.getName()));
    m_pAddress = new QLineEdit(QString::fromStdU16String(m_definition.getAddress()));
    m_pPort = new QLineEdit(QString::number(m_definition.getPort()));
    m_pPort->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_pPort));
    m_pPassword = new CPasswordEdit(QString::fromStdU16String(m_definition.getPassword()));
    m_pPassword->setMaxLength(static_cast<int>(MAX_SERVER_PASSWORD_LENGTH));
    m_pName->setMinimumWidth(220);

    auto* group = new QGroupBox(tr("Enter the name and connection details of the server"));
    auto* form = new QFormLayout(group);
    form->addRow(tr("Name:"), m_pName);
    form->addRow(tr("Address:"), m_pAddress);
    form->addRow(tr("Port:"), m_pPort);
    form->addRow(tr("Password:"), m_pPassword);

    m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    okButton()->setText(title == QStringLiteral("Add") ? tr("Add") : tr("Apply"));
    m_pButtons->button(QDialogButtonBox::Cancel)->setText(tr("Cancel"));
    connect(m_pButtons, &QDialogButtonBox::accepted, this, &CServerDlg::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &CServerDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(m_pButtons);
}

QPushButton* CServerDlg::okButton() const
{
    return m_pButtons->button(QDialogButtonBox::Ok);
}

void CServerDlg::accept()
{
    const ServerFields fields{m_pName->text().toStdU16String(), m_pAddress->text().toStdU16String(),
                              m_pPort->text().toStdU16String(),
                              m_pPassword->text().toStdU16String()};
    int port = 0;
    if (const std::optional<std::string> error = CheckServerFields(fields, port))
    {
        ShowError(this, QString::fromStdString(*error));
        return;
    }
    m_definition = CServerDefinition(fields.name, fields.address, port, fields.password);
    QDialog::accept();
}
