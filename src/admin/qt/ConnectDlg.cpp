#include "admin/qt/ConnectDlg.h"

#include "admin/ServerConnection.h"
#include "common/qt/TitleFit.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

CConnectDlg::CConnectDlg(CServerConnection& connection, QWidget* parent)
    : QDialog(parent), m_connection(connection), m_progress(connection)
{
    createControls();
}

CConnectDlg::~CConnectDlg()
{
    // The connection must not write into controls that are gone.
    m_connection.setStatusWnd(nullptr);
    m_connection.setProgress(nullptr);
}

void CConnectDlg::createControls()
{
    setWindowTitle(tr("Connecting..."));
    setModal(true);
    m_pStatus = new QLabel(this);
    m_pStatus->setMinimumWidth(300);
    m_pStatus->setWordWrap(true); // an error text with its code and name stays whole
    m_pNote = new QLabel(this);
    m_pNote->setWordWrap(true);
    m_pNote->hide();
    m_pProgress = new QProgressBar(this);
    m_pProgress->setTextVisible(false);
    m_pButton = new QPushButton(tr("Abort"), this);
    connect(m_pButton, &QPushButton::clicked, this, &CConnectDlg::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_pButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pStatus);
    layout->addWidget(m_pNote);
    layout->addWidget(m_pProgress);
    layout->addLayout(buttons);
    m_timer.setInterval(static_cast<int>(CConnectProgress::TIMER_INTERVAL_MS));
    connect(&m_timer, &QTimer::timeout, this, &CConnectDlg::onTimer);
}

QString CConnectDlg::statusText() const
{
    return m_pStatus->text();
}

QString CConnectDlg::noteText() const
{
    return m_pNote->isHidden() ? QString() : m_pNote->text();
}

void CConnectDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_bStarted)
        return;
    m_bStarted = true;
    setWindowTitle(QString::fromStdString(m_progress.title()));
    FitTitle(*this);
    m_progress.open(this, this);
    m_timer.start();
}

void CConnectDlg::onTimer()
{
    const CConnectProgress::Outcome outcome = m_progress.tick();
    if (m_progress.showLoginNote())
    {
        m_pNote->setText(tr(CConnectProgress::LOGIN_NOTE));
        m_pNote->show();
    }
    switch (outcome)
    {
    case CConnectProgress::Succeeded:
        m_timer.stop();
        accept();
        break;
    case CConnectProgress::Failed:
        m_timer.stop();
        m_pButton->setText(QString::fromUtf8(m_progress.buttonText()));
        break;
    case CConnectProgress::Running:
        break;
    }
}

void CConnectDlg::reject()
{
    if (!m_bStarted || m_progress.cancel())
    {
        m_timer.stop();
        QDialog::reject();
    }
}

void CConnectDlg::closeEvent(QCloseEvent* event)
{
    // The close box acts like the button: while the attempt runs it only aborts it.
    event->ignore();
    reject();
}

void CConnectDlg::setText(const std::string& text)
{
    m_pStatus->setText(QString::fromStdString(text));
}

void CConnectDlg::setRange(int lower, int upper)
{
    m_pProgress->setRange(lower, upper);
}

void CConnectDlg::setPosition(int position)
{
    m_pProgress->setValue(position);
}
