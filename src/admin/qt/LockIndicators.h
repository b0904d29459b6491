#pragma once
// The status bar's Caps Lock, Num Lock and Scroll Lock panes ("CAP", "NUM", "SCRL",
// blank while off). They exist only where the window system reports the lock states
// (X11); elsewhere the status bar has its message pane alone.
#include <QObject>

#include <array>

class QLabel;
class QStatusBar;

class CLockIndicators : public QObject
{
    Q_OBJECT

public:
    explicit CLockIndicators(QStatusBar* statusBar);

    bool available() const { return m_pDisplay != nullptr; }
    // Reads the states again (after every key, and when the application is activated).
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void* m_pDisplay = nullptr;
    std::array<QLabel*, 3> m_apPanes{};
};
