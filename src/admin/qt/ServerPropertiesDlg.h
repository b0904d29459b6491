#pragma once
// The properties dialog: the connected server's seven settings as fetched at connect
// (plus the changes made here). "&Apply" sends one SET for each changed value and
// closes only when every one succeeded; "Cancel" sends nothing.
#include "admin/ServerProperties.h"

#include <QDialog>

class QComboBox;
class QLineEdit;
class CPasswordEdit;
class QPushButton;
class CServerConnection;
class CServerList;

class CServerPropertiesDlg : public QDialog
{
    Q_OBJECT

public:
    CServerPropertiesDlg(CServerConnection& connection, ServerSettingValues& cache,
                         CServerList& servers, QWidget* parent = nullptr);

    QLineEdit* adminPortEdit() const { return m_pAdminPort; }
    CPasswordEdit* passwordEdit() const { return m_pPassword; }
    QLineEdit* clientPortEdit() const { return m_pClientPort; }
    QLineEdit* idleDisconnectEdit() const { return m_pIdleDisconnect; }
    QLineEdit* logFileEdit() const { return m_pLogFile; }
    QComboBox* logLevelList() const { return m_pLogLevel; }
    QLineEdit* maxLogLinesEdit() const { return m_pMaxLogLines; }
    QPushButton* applyButton() const { return m_pApply; }

public Q_SLOTS:
    // "&Apply".
    void accept() override;

private:
    void createControls();
    void showFields(const ServerPropertyFields& fields);
    ServerPropertyFields readFields() const;

    CServerConnection& m_connection;
    ServerSettingValues& m_cache;
    CServerList& m_servers;
    QLineEdit* m_pAdminPort = nullptr;
    CPasswordEdit* m_pPassword = nullptr;
    QLineEdit* m_pClientPort = nullptr;
    QLineEdit* m_pIdleDisconnect = nullptr;
    QLineEdit* m_pLogFile = nullptr;
    QComboBox* m_pLogLevel = nullptr;
    QLineEdit* m_pMaxLogLines = nullptr;
    QPushButton* m_pApply = nullptr;
};
