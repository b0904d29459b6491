#include "admin/qt/ServerBar.h"

#include "admin/ServerList.h"
#include "admin/qt/AdminIcon.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QListWidget>
#include <QMenu>
#include <QToolBox>

namespace
{
constexpr int LARGE_ICON = 32;
constexpr int SMALL_ICON = 16;
} // namespace

CServerBar::CServerBar(CServerList& servers, QWidget* parent)
    : QDockWidget(tr("Servers"), parent), m_servers(servers)
{
    setObjectName(QStringLiteral("Servers"));
    createBar();
    createMenus();
    setLargeIcons(true);
    refill();
}

void CServerBar::createBar()
{
    m_pList = new QListWidget;
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setTextElideMode(Qt::ElideRight);
    m_pList->installEventFilter(this);
    m_pList->viewport()->installEventFilter(this);
    connect(m_pList, &QListWidget::itemSelectionChanged, this, &CServerBar::selectionChanged);
    m_pBar = new QToolBox;
    m_pBar->addItem(m_pList, tr("Server"));
    setWidget(m_pBar);
}

QAction* CServerBar::addItemCommand(const QString& text, AdminCommand command)
{
    QAction* action = m_pItemMenu->addAction(text);
    action->setStatusTip(QString::fromUtf8(CommandPrompt(command)));
    connect(action, &QAction::triggered, this,
            [this, command] { Q_EMIT commandRequested(command); });
    m_itemActions[command] = action;
    return action;
}

void CServerBar::createMenus()
{
    m_pItemMenu = new QMenu(this);
    addItemCommand(tr("Connect"), AdminCommand::Connect);
    addItemCommand(tr("Disconnect"), AdminCommand::Disconnect);
    m_pItemMenu->addSeparator();
    addItemCommand(tr("Edit..."), AdminCommand::Edit);
    addItemCommand(tr("Remove"), AdminCommand::Remove);
    m_pItemMenu->addSeparator();
    addItemCommand(tr("Clear Log"), AdminCommand::ClearLog);
    addItemCommand(tr("View Log"), AdminCommand::ViewLog);
    m_pItemMenu->addSeparator();
    addItemCommand(tr("Properties"), AdminCommand::Properties);

    m_pSpaceMenu = new QMenu(this);
    QAction* add = m_pSpaceMenu->addAction(tr("Add..."));
    add->setStatusTip(QString::fromUtf8(CommandPrompt(AdminCommand::Add)));
    connect(add, &QAction::triggered, this, [this] { Q_EMIT commandRequested(AdminCommand::Add); });
    m_pSpaceMenu->addSeparator();
    auto* sizes = new QActionGroup(this);
    m_pLargeIcons = m_pSpaceMenu->addAction(tr("Large Icons"));
    m_pSmallIcons = m_pSpaceMenu->addAction(tr("Small Icons"));
    for (QAction* action : {m_pLargeIcons, m_pSmallIcons})
    {
        action->setCheckable(true);
        sizes->addAction(action);
    }
    m_pLargeIcons->setStatusTip(tr("Show the servers with large icons"));
    m_pSmallIcons->setStatusTip(tr("Show the servers with small icons"));
    connect(m_pLargeIcons, &QAction::triggered, this, [this] { setLargeIcons(true); });
    connect(m_pSmallIcons, &QAction::triggered, this, [this] { setLargeIcons(false); });
}

void CServerBar::setLargeIcons(bool large)
{
    const int size = large ? LARGE_ICON : SMALL_ICON;
    m_pList->setViewMode(large ? QListView::IconMode : QListView::ListMode);
    m_pList->setFlow(QListView::TopToBottom);
    m_pList->setWrapping(false);
    m_pList->setMovement(QListView::Static);
    m_pList->setIconSize(QSize(size, size));
    m_pList->setSpacing(large ? 4 : 1);
    m_pList->setWordWrap(large);
    (large ? m_pLargeIcons : m_pSmallIcons)->setChecked(true);
    const QIcon icon(DrawServerIcon(size));
    for (int row = 0; row < m_pList->count(); ++row)
        m_pList->item(row)->setIcon(icon);
}

void CServerBar::refill(const std::u16string& current)
{
    const QSignalBlocker block(m_pList);
    m_pList->clear();
    const int size = m_pList->iconSize().width();
    const QIcon icon(DrawServerIcon(size));
    for (int index = 0; index < m_servers.getCount(); ++index)
    {
        const std::u16string& name = m_servers.getAt(index)->getName();
        auto* item = new QListWidgetItem(icon, QString::fromStdU16String(name), m_pList);
        if (m_pList->viewMode() == QListView::IconMode)
            item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
        if (name == current)
            m_pList->setCurrentItem(item);
    }
    Q_EMIT selectionChanged();
}

CServerDefinition* CServerBar::selectedServer() const
{
    // The list may hold a current item that is not selected (keyboard focus alone):
    // only a selected one counts.
    const QList<QListWidgetItem*> items = m_pList->selectedItems();
    if (items.isEmpty())
        return nullptr;
    return m_servers.findByName(items.front()->text().toStdU16String());
}

bool CServerBar::selectServer(const std::u16string& name)
{
    const QString text = QString::fromStdU16String(name);
    for (int row = 0; row < m_pList->count(); ++row)
        if (m_pList->item(row)->text() == text)
        {
            m_pList->setCurrentRow(row);
            return true;
        }
    return false;
}

void CServerBar::setConnectionState(bool connected, const std::u16string& connectedName)
{
    m_bConnected = connected;
    m_strConnectedName = connectedName;
}

void CServerBar::updateItemMenu(const std::u16string& itemName)
{
    for (const auto& [command, action] : m_itemActions)
        action->setEnabled(
            IsServerItemCommandEnabled(command, m_bConnected, itemName, m_strConnectedName));
}

void CServerBar::openMenuAt(const QPoint& position, const QPoint& globalPosition)
{
    QListWidgetItem* item = m_pList->itemAt(position);
    if (item == nullptr)
    {
        m_pSpaceMenu->popup(globalPosition);
        return;
    }
    // The menu's commands act on the selected server: the item clicked.
    m_pList->setCurrentItem(item);
    updateItemMenu(item->text().toStdU16String());
    m_pItemMenu->popup(globalPosition);
}

bool CServerBar::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ContextMenu ||
        (watched != m_pList && watched != m_pList->viewport()))
        return QDockWidget::eventFilter(watched, event);
    const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    QPoint position = m_pList->viewport()->mapFromGlobal(menuEvent->globalPos());
    // From the keyboard the menu belongs to the current item.
    if (menuEvent->reason() == QContextMenuEvent::Keyboard && m_pList->currentItem() != nullptr)
        position = m_pList->visualItemRect(m_pList->currentItem()).center();
    openMenuAt(position, m_pList->viewport()->mapToGlobal(position));
    return true;
}
