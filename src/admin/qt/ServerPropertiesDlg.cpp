#include "admin/qt/ServerPropertiesDlg.h"

#include "admin/qt/AdminMessageBox.h"
#include "admin/qt/PasswordEdit.h"
#include "admin/qt/WaitCursor.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace
{
QLineEdit* DigitsEdit(QObject* owner)
{
    auto* edit = new QLineEdit;
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), owner));
    return edit;
}
} // namespace

CServerPropertiesDlg::CServerPropertiesDlg(CServerConnection& connection, ServerSettingValues& cache,
                                           CServerList& servers, QWidget* parent)
    : QDialog(parent), m_connection(connection), m_cache(cache), m_servers(servers)
{
    createControls();
    showFields(FieldsFromSettings(m_cache));
}

void CServerPropertiesDlg::createControls()
{
    setWindowTitle(tr("Properties"));
    m_pAdminPort = DigitsEdit(this);
    m_pPassword = new CPasswordEdit;
    m_pPassword->setMaxLength(static_cast<int>(MAX_ADMIN_PASSWORD_LENGTH));
    m_pClientPort = DigitsEdit(this);
    m_pIdleDisconnect = DigitsEdit(this);
    m_pLogFile = new QLineEdit;
    m_pLogFile->setMaxLength(static_cast<int>(MAX_LOG_FILE_LENGTH));
    m_pLogFile->setMinimumWidth(260);
    m_pLogLevel = new QComboBox;
    m_pLogLevel->addItems({tr("Error"), tr("Info"), tr("Debug")});
    m_pMaxLogLines = DigitsEdit(this);

    auto* idle = new QHBoxLayout;
    idle->addWidget(m_pIdleDisconnect);
    idle->addWidget(new QLabel(tr("seconds (0 = off)")));
    auto* form = new QFormLayout;
    form->addRow(tr("Admin Port:"), m_pAdminPort);
    form->addRow(tr("Password:"), m_pPassword);
    form->addRow(tr("Client Port:"), m_pClientPort);
    form->addRow(tr("Client Idle Disconnect:"), idle);
    form->addRow(tr("Log File:"), m_pLogFile);
    form->addRow(tr("Log Level:"), m_pLogLevel);
    form->addRow(tr("Max Log Lines:"), m_pMaxLogLines);

    m_pApply = new QPushButton(tr("&Apply"));
    m_pApply->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"));
    connect(m_pApply, &QPushButton::clicked, this, &CServerPropertiesDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CServerPropertiesDlg::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_pApply);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
}

void CServerPropertiesDlg::showFields(const ServerPropertyFields& fields)
{
    m_pAdminPort->setText(QString::fromStdU16String(fields.adminPort));
    m_pPassword->setText(QString::fromStdU16String(fields.adminPassword));
    m_pClientPort->setText(QString::fromStdU16String(fields.clientPort));
    m_pIdleDisconnect->setText(QString::fromStdU16String(fields.clientIdleDisconnect));
    m_pLogFile->setText(QString::fromStdU16String(fields.logFile));
    m_pLogLevel->setCurrentIndex(fields.logLevelIndex);
    m_pMaxLogLines->setText(QString::fromStdU16String(fields.maxLogLines));
}

ServerPropertyFields CServerPropertiesDlg::readFields() const
{
    ServerPropertyFields fields;
    fields.adminPort = m_pAdminPort->text().toStdU16String();
    fields.adminPassword = m_pPassword->text().toStdU16String();
    fields.clientPort = m_pClientPort->text().toStdU16String();
    fields.clientIdleDisconnect = m_pIdleDisconnect->text().toStdU16String();
    fields.logFile = m_pLogFile->text().toStdU16String();
    fields.logLevelIndex = m_pLogLevel->currentIndex();
    fields.maxLogLines = m_pMaxLogLines->text().toStdU16String();
    return fields;
}

void CServerPropertiesDlg::accept()
{
    ServerPropertiesResult result;
    {
        const CWaitCursor wait;
        result = ApplyServerProperties(m_connection, m_cache, m_servers, readFields());
    }
    if (result.close)
    {
        QDialog::accept();
        return;
    }
    if (result.error)
        ShowError(this, QString::fromStdString(*result.error));
    showFields(result.fields);
}
