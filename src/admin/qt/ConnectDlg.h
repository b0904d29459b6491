#pragma once
// The connect progress dialog: "Connecting to NAME", a status line, a progress bar and
// one button. Its 50 ms timer steps the connection; it closes with success once the
// connection is established, and its button turns from "Abort" to "Close" when the
// attempt failed.
#include "admin/ConnectProgress.h"
#include "admin/ProgressOutput.h"
#include "admin/StatusOutput.h"

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

class CConnectDlg : public QDialog, private IStatusOutput, private IProgressOutput
{
    Q_OBJECT

public:
    // The connection must have been given its server (setServer).
    CConnectDlg(CServerConnection& connection, QWidget* parent = nullptr);
    ~CConnectDlg() override;

    QString statusText() const;
    // The note under the status line; empty while it is not shown.
    QString noteText() const;
    QPushButton* button() const { return m_pButton; }
    QProgressBar* progressBar() const { return m_pProgress; }

public Q_SLOTS:
    // The button, the Escape key and the close box.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void onTimer();
    void setText(const std::string& text) override;
    void setRange(int lower, int upper) override;
    void setPosition(int position) override;

    CServerConnection& m_connection;
    CConnectProgress m_progress;
    QTimer m_timer;
    bool m_bStarted = false;
    QLabel* m_pStatus = nullptr;
    QLabel* m_pNote = nullptr;
    QProgressBar* m_pProgress = nullptr;
    QPushButton* m_pButton = nullptr;
};
