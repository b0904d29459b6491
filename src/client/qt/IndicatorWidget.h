#pragma once
// The indicator window: a small frameless tool window that stays on top, takes no
// focus, paints the link quality as CIndicatorWnd lays it out and hands the user's
// mouse actions to it.
#include <QWidget>

class CIndicatorWnd;
class QMenu;

class CIndicatorWidget : public QWidget
{
  public:
    static constexpr Qt::WindowFlags WINDOW_FLAGS = Qt::FramelessWindowHint |
                                                    Qt::WindowStaysOnTopHint | Qt::Tool |
                                                    Qt::WindowDoesNotAcceptFocus;

    explicit CIndicatorWidget(CIndicatorWnd& indicator);
    // A right click opens `menu` (where no tray icon carries it); null: nothing.
    void SetContextMenu(QMenu* menu) { m_pContextMenu = menu; }
    // The indicator's font at this window's screen resolution.
    QFont IndicatorFont() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    CIndicatorWnd& m_indicator;
    QMenu* m_pContextMenu = nullptr;
};
