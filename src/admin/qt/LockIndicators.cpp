#include "admin/qt/LockIndicators.h"

#include "platform/KeyboardLocks.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QStatusBar>
#include <QtGui/qguiapplication_platform.h>

namespace
{
constexpr std::array<const char*, 3> PANE_TEXTS = {"CAP", "NUM", "SCRL"};

void* X11Display()
{
#if QT_CONFIG(xcb)
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        return x11->display();
#endif
    return nullptr;
}
} // namespace

CLockIndicators::CLockIndicators(QStatusBar* statusBar) : QObject(statusBar)
{
    KeyboardLocks locks;
    void* display = X11Display();
    if (display == nullptr || !ReadKeyboardLocks(display, locks))
        return;
    m_pDisplay = display;
    for (size_t i = 0; i < m_apPanes.size(); ++i)
    {
        auto* pane = new QLabel(statusBar);
        pane->setAlignment(Qt::AlignCenter);
        pane->setFrameShape(QFrame::Panel);
        pane->setFrameShadow(QFrame::Sunken);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QLatin1String(PANE_TEXTS[i])) +
                              10);
        statusBar->addPermanentWidget(pane);
        m_apPanes[i] = pane;
    }
    qApp->installEventFilter(this);
    refresh();
}

void CLockIndicators::refresh()
{
    KeyboardLocks locks;
    if (m_pDisplay == nullptr || !ReadKeyboardLocks(m_pDisplay, locks))
        return;
    const std::array<bool, 3> on = {locks.capsLock, locks.numLock, locks.scrollLock};
    for (size_t i = 0; i < m_apPanes.size(); ++i)
        m_apPanes[i]->setText(on[i] ? QLatin1String(PANE_TEXTS[i]) : QString());
}

bool CLockIndicators::eventFilter(QObject* watched, QEvent* event)
{
    // A key event reaches the window first and then the widgets: one read per key.
    const bool key = event->type() == QEvent::KeyRelease && watched->isWindowType();
    if (key || event->type() == QEvent::ApplicationActivate)
        refresh();
    return QObject::eventFilter(watched, event);
}
