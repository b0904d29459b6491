// Renders the pictures of the client's desktop parts into a folder: the indicator at
// 0, 55 and 100 % in both orientations, the twelve tray images side by side and the
// open tray menu. Runs on any Qt platform; scripts/screenshots uses the offscreen one.
#include "client/Settings.h"
#include "client/qt/IndicatorQt.h"
#include "client/qt/IndicatorWidget.h"
#include "client/qt/TrayImages.h"
#include "common/Log.h"
#include "platform/Clock.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPainter>

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace
{
using Settings = std::vector<std::pair<const char*, const char*>>;

// The indicator settings of the README's example.
const Settings INDICATOR_SETTINGS = {
    {"ListenPort", "8000"},          {"AllowExit", "1"},
    {"IndicatorAllowMove", "1"},     {"IndicatorAutoShowAndHide", "0"},
    {"IndicatorXPos", "0"},          {"IndicatorYPos", "0"},
    {"IndicatorWidth", "40"},        {"IndicatorHeight", "60"},
    {"IndicatorMargin", "2"},        {"IndicatorTextAreaSize", "14"},
    {"IndicatorFontName", "Sans"},   {"IndicatorFontSize", "8"},
    {"IndicatorBorderColor", "0,0,0"}, {"IndicatorBackgroundColor", "255,255,255"},
    {"IndicatorTextColor", "0,0,0"}, {"IndicatorOffColor", "192,192,192"},
    {"IndicatorOnColor", "0,160,0"}, {"IndicatorAlphaBlending", "255"},
    {"IndicatorOrientation", "0"},
};

const Settings HORIZONTAL = {{"IndicatorOrientation", "1"},
                             {"IndicatorWidth", "100"},
                             {"IndicatorHeight", "20"},
                             {"IndicatorTextAreaSize", "32"}};

void Configure(const Settings& changes)
{
    CSettings::DestroyInstance();
    for (const auto& [name, value] : INDICATOR_SETTINGS)
        CSettings::GetInstance()->SetValue(name, value);
    for (const auto& [name, value] : changes)
        CSettings::GetInstance()->SetValue(name, value);
}

bool Save(const QPixmap& picture, const QString& path)
{
    const bool saved = picture.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED to write", qPrintable(path));
    return saved;
}

bool RenderIndicators(const QDir& folder)
{
    bool ok = true;
    for (const bool horizontal : {false, true})
    {
        Configure(horizontal ? HORIZONTAL : Settings{});
        CIndicatorQt indicator(CSystemClock::Instance());
        CIndicatorWnd& logic = indicator.Logic();
        if (!logic.Create())
            return false;
        logic.sessionStarted();
        logic.show();
        for (const int quality : {0, 55, 100})
        {
            logic.setLinkQuality(quality);
            const QString name = QString("indicator-%1-%2.png")
                                     .arg(horizontal ? "horizontal" : "vertical")
                                     .arg(quality);
            ok = Save(indicator.Window()->grab(), folder.filePath(name)) && ok;
        }
        logic.Destroy();
    }
    return ok;
}

// Rows of the twelve images at the usual tray sizes, labelled below.
bool RenderTrayImages(const QDir& folder)
{
    constexpr std::array SIZES{16, 24, 32, 48};
    constexpr int CELL = 56;
    constexpr int LABEL = 18;
    int height = LABEL;
    for (const int size : SIZES)
        height += size + 8;
    QPixmap strip(12 * CELL, height);
    strip.fill(Qt::white);
    QPainter painter(&strip);
    int top = 4;
    for (const int size : SIZES)
    {
        for (int index = 0; index < 12; ++index)
        {
            const QImage image = DrawTrayImage(CIndicatorWnd::FIRST_TRAY_IMAGE + index, size);
            painter.drawImage(index * CELL + (CELL - size) / 2, top, image);
        }
        top += size + 8;
    }
    painter.setPen(Qt::black);
    for (int index = 0; index < 12; ++index)
    {
        const QString label = index == 11 ? QString("idle") : QString("%1%").arg(index * 10);
        painter.drawText(QRect(index * CELL, top, CELL, LABEL), Qt::AlignCenter, label);
    }
    painter.end();
    return Save(strip, folder.filePath("tray-images.png"));
}

bool RenderMenu(const QDir& folder, const Settings& changes, const QString& name)
{
    Configure(changes);
    CIndicatorQt indicator(CSystemClock::Instance());
    if (!indicator.Logic().Create())
        return false;
    indicator.Logic().show();
    QMenu* menu = indicator.Menu();
    menu->popup(QPoint(0, 0));
    const bool ok = Save(menu->grab(), folder.filePath(name));
    menu->hide();
    indicator.Logic().Destroy();
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath("."))
    {
        std::fprintf(stderr, "error: cannot create %s\n", argv[1]);
        return 1;
    }
    // The indicator logs where no tray exists; nothing here needs that line.
    CLog::GetInstance()->SetFilename("/dev/null");
    bool ok = RenderIndicators(folder);
    ok = RenderTrayImages(folder) && ok;
    ok = RenderMenu(folder, {}, "menu.png") && ok;
    ok = RenderMenu(folder, {{"AllowExit", "0"}}, "menu-exit-greyed.png") && ok;
    CSettings::DestroyInstance();
    CLog::DestroyInstance();
    return ok ? 0 : 1;
}
