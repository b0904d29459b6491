// The indicator on Qt's offscreen platform: the pixels of the painted window, the
// menu, showing and hiding, dragging, the right-click menu where no tray exists and
// the exit question.
#include "client/Settings.h"
#include "client/qt/IndicatorQt.h"
#include "client/qt/IndicatorWidget.h"
#include "common/Log.h"
#include "support/ClientSettings.h"
#include "support/FakeClock.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace tq_test;

namespace
{
const QColor BORDER(255, 0, 0);
const QColor BACKGROUND(255, 255, 255);
const QColor OFF(128, 128, 128);
const QColor ON(0, 200, 0);

class IndicatorQtTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("client.log"));
        Configure({});
    }
    void TearDown() override
    {
        m_pIndicator.reset();
        CSettings::DestroyInstance();
        CLog::DestroyInstance();
    }
    // A newly created indicator from the test settings with `changes`.
    void Configure(const SettingList& changes)
    {
        SettingList list = ClientSettings(m_dir.Path(), m_dir.Path(), 7001, "127.0.0.1:7000", 7);
        for (const auto& [name, value] : SettingList{{"IndicatorBorderColor", "255,0,0"},
                                                     {"IndicatorBackgroundColor", "255,255,255"},
                                                     {"IndicatorTextColor", "0,0,255"},
                                                     {"IndicatorOffColor", "128,128,128"},
                                                     {"IndicatorOnColor", "0,200,0"}})
            SetSetting(list, name, value);
        for (const auto& [name, value] : changes)
            SetSetting(list, name, value);
        m_pIndicator.reset();
        CSettings::DestroyInstance();
        for (const auto& [name, value] : list)
            CSettings::GetInstance()->SetValue(name, value);
        m_pIndicator = std::make_unique<CIndicatorQt>(m_clock);
        m_pIndicator->SetExitHandler([this] { ++m_exits; });
        ASSERT_TRUE(Logic().Create());
    }
    CIndicatorWnd& Logic() { return m_pIndicator->Logic(); }
    CIndicatorWidget& Window() { return *m_pIndicator->Window(); }
    QImage ShowAt(int quality)
    {
        Logic().sessionStarted();
        Logic().setLinkQuality(quality);
        Logic().show();
        QImage image = Window().grab().toImage();
        if (const char* dump = std::getenv("TQ_DUMP_IMAGES"))
            image.save(QString::fromUtf8(dump) + "/" +
                       QString::number(Logic().IsHorizontal()) + "-" + QString::number(quality) +
                       ".png");
        return image;
    }
    QList<QAction*> Actions() const { return m_pIndicator->Menu()->actions(); }
    // Answers the next modal box with `button` once it is open.
    void AnswerNextBox(QMessageBox::StandardButton button)
    {
        QTimer::singleShot(0,
                           [this, button]
                           {
                               auto* box = qobject_cast<QMessageBox*>(
                                   QApplication::activeModalWidget());
                               ASSERT_NE(box, nullptr);
                               m_question = box->text().toStdString();
                               m_caption = box->windowTitle().toStdString();
                               box->button(button)->click();
                           });
    }

    TempDir m_dir;
    FakeClock m_clock;
    std::unique_ptr<CIndicatorQt> m_pIndicator;
    int m_exits = 0;
    std::string m_question;
    std::string m_caption;
};

int CountPixels(const QImage& image, const QRect& area, const QColor& color)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixelColor(x, y) == color ? 1 : 0;
    return count;
}

// Pixels of the text: the text colour, or blended from it into the background by
// the font's smoothing (blue, with red and green below half).
int CountTextPixels(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
        {
            const QColor c = image.pixelColor(x, y);
            count += c.blue() == 255 && c.red() < 128 && c.green() < 128 ? 1 : 0;
        }
    return count;
}
} // namespace

TEST_F(IndicatorQtTest, WindowIsAFramelessToolWindowOnTopWithoutFocus)
{
    Configure({{"IndicatorAlphaBlending", "128"}});
    const Qt::WindowFlags flags = Window().windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_EQ(Window().pos(), QPoint(100, 200));
    EXPECT_EQ(Window().size(), QSize(40, 60));
    EXPECT_NEAR(Window().windowOpacity(), 128 / 255.0, 0.01);
    EXPECT_FALSE(Window().isVisible());
    EXPECT_EQ(m_pIndicator->TrayImage(), 140);
}

TEST_F(IndicatorQtTest, VerticalIndicatorPixels)
{
    const QImage image = ShowAt(75);
    ASSERT_EQ(image.size(), QSize(40, 60));
    // The border is the outermost ring of pixels.
    EXPECT_EQ(CountPixels(image, {0, 0, 40, 1}, BORDER), 40);
    EXPECT_EQ(CountPixels(image, {0, 59, 40, 1}, BORDER), 40);
    EXPECT_EQ(CountPixels(image, {0, 0, 1, 60}, BORDER), 60);
    EXPECT_EQ(CountPixels(image, {39, 0, 1, 60}, BORDER), 60);
    // Inside it the background, then the bar 3..36 x 3..44 (42 high): 10 rows off
    // above 32 rows on.
    EXPECT_EQ(CountPixels(image, {1, 1, 38, 2}, BACKGROUND), 76);
    EXPECT_EQ(CountPixels(image, {3, 3, 34, 10}, OFF), 340);
    EXPECT_EQ(CountPixels(image, {3, 13, 34, 32}, ON), 34 * 32);
    EXPECT_EQ(CountPixels(image, {37, 3, 2, 42}, BACKGROUND), 84);
    // "75%" in the text colour in the strip 1..38 x 45..58, on the background.
    const QRect strip(1, 45, 38, 14);
    EXPECT_GT(CountTextPixels(image, strip), 10);
    EXPECT_EQ(CountPixels(image, {1, 45, 38, 1}, BACKGROUND), 38);
    EXPECT_EQ(CountPixels(image, strip, ON) + CountPixels(image, strip, OFF), 0);
}

TEST_F(IndicatorQtTest, HorizontalIndicatorPixels)
{
    Configure({{"IndicatorOrientation", "1"},
               {"IndicatorWidth", "100"},
               {"IndicatorHeight", "24"},
               {"IndicatorMargin", "3"},
               {"IndicatorTextAreaSize", "30"}});
    const QImage image = ShowAt(75);
    ASSERT_EQ(image.size(), QSize(100, 24));
    EXPECT_EQ(CountPixels(image, {0, 0, 100, 1}, BORDER), 100);
    EXPECT_EQ(CountPixels(image, {99, 0, 1, 24}, BORDER), 24);
    // Bar 4..68 x 4..19 (65 wide): the left 16 columns off, the 49 to the right on.
    EXPECT_EQ(CountPixels(image, {4, 4, 16, 16}, OFF), 16 * 16);
    EXPECT_EQ(CountPixels(image, {20, 4, 49, 16}, ON), 49 * 16);
    EXPECT_EQ(CountPixels(image, {1, 20, 68, 3}, BACKGROUND), 68 * 3);
    const QRect strip(69, 1, 30, 22);
    EXPECT_GT(CountTextPixels(image, strip), 10);
    EXPECT_EQ(CountPixels(image, strip, ON) + CountPixels(image, strip, OFF), 0);

    // At 0 % the whole bar is off, at 100 % on.
    const QImage empty = ShowAt(0);
    EXPECT_EQ(CountPixels(empty, {4, 4, 65, 16}, OFF), 65 * 16);
    const QImage full = ShowAt(100);
    EXPECT_EQ(CountPixels(full, {4, 4, 65, 16}, ON), 65 * 16);
}

TEST_F(IndicatorQtTest, MenuTextsIdsAndTheGreyedExit)
{
    Configure({{"AllowExit", "0"}});
    const QList<QAction*> actions = Actions();
    ASSERT_EQ(actions.size(), 6);
    EXPECT_EQ(actions[0]->text().toStdString(), "Ostrivel Tarvi*Qen Client v1.0.9");
    EXPECT_EQ(actions[1]->text().toStdString(), "Servicing TCP Port 7001");
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text().toStdString(), "Show &Indicator");
    EXPECT_EQ(actions[3]->data().toInt(), 32869);
    EXPECT_TRUE(actions[4]->isSeparator());
    EXPECT_EQ(actions[5]->text().toStdString(), "E&xit");
    EXPECT_EQ(actions[5]->data().toInt(), 32870);
    EXPECT_FALSE(actions[5]->isEnabled());
    for (QAction* action : actions)
        EXPECT_TRUE(action->isSeparator() || !action->statusTip().isEmpty()) << action->text().toStdString();

    actions[5]->trigger(); // a greyed action does not fire
    EXPECT_EQ(m_exits, 0);
}

TEST_F(IndicatorQtTest, ToggleItemShowsAndHidesTheWindow)
{
    QAction* toggle = Actions()[3];
    toggle->trigger();
    EXPECT_TRUE(Window().isVisible());
    EXPECT_TRUE(Logic().IsVisible());
    EXPECT_EQ(toggle->text().toStdString(), "Hide &Indicator");
    toggle->trigger();
    EXPECT_FALSE(Window().isVisible());
    EXPECT_FALSE(Logic().IsVisible());
    EXPECT_EQ(toggle->text().toStdString(), "Show &Indicator");
}

TEST_F(IndicatorQtTest, DraggingMovesTheWindowAndSetsTheMovedFlag)
{
    Logic().show();
    QTest::mousePress(&Window(), Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(&Window(), QPoint(25, 30));
    EXPECT_EQ(Window().pos(), QPoint(115, 220));
    EXPECT_FALSE(Logic().takeMovedFlag());
    QTest::mouseRelease(&Window(), Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(Logic().takeMovedFlag());
    EXPECT_EQ(Logic().GetLeft(), 115);
    EXPECT_EQ(Logic().GetTop(), 220);
}

TEST_F(IndicatorQtTest, WithoutATrayTheWindowsRightClickOpensTheMenu)
{
    // The offscreen platform has no tray: logged once at Info, and no tray icon.
    EXPECT_EQ(CountOf(ReadFile(m_dir.File("client.log")), "No system tray available"), 1);
    EXPECT_EQ(m_pIndicator->TrayIcon(), nullptr);
    Logic().show();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), Window().mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&Window(), &click);
    EXPECT_TRUE(m_pIndicator->Menu()->isVisible());
    m_pIndicator->Menu()->hide();

    // A tray that comes takes the menu over; one that goes away gives it back.
    bool tray = true;
    m_pIndicator->SetTrayProbe([&tray] { return tray; });
    m_pIndicator->CheckTray();
    QApplication::sendEvent(&Window(), &click);
    EXPECT_FALSE(m_pIndicator->Menu()->isVisible());
    tray = false;
    m_pIndicator->CheckTray();
    m_pIndicator->CheckTray();
    QApplication::sendEvent(&Window(), &click);
    EXPECT_TRUE(m_pIndicator->Menu()->isVisible());
    m_pIndicator->Menu()->hide();
    const std::string log = ReadFile(m_dir.File("client.log"));
    EXPECT_EQ(CountOf(log, "No system tray available"), 2);
    EXPECT_EQ(CountOf(log, "System tray available"), 1);
}

TEST_F(IndicatorQtTest, TrayTipNamesThePortAndTheLink)
{
    EXPECT_EQ(m_pIndicator->TrayTip(), "Ostrivel Tarvi*Qen Client\nPort 7001, idle");
    Logic().sessionStarted();
    Logic().setLinkQuality(80);
    EXPECT_EQ(m_pIndicator->TrayTip(), "Ostrivel Tarvi*Qen Client\nPort 7001, link quality 80%");
}

TEST_F(IndicatorQtTest, ExitAsksFirstAndEndsOnlyOnYes)
{
    QAction* exit = Actions()[5];
    ASSERT_TRUE(exit->isEnabled());
    AnswerNextBox(QMessageBox::No);
    exit->trigger();
    EXPECT_EQ(m_exits, 0);
    EXPECT_EQ(m_caption, "Ostrivel Tarvi*Qen Client");
    EXPECT_EQ(m_question, "Are you really sure you want to exit Ostrivel Tarvi*Qen Client?");
    AnswerNextBox(QMessageBox::Yes);
    exit->trigger();
    EXPECT_EQ(m_exits, 1);
}

TEST_F(IndicatorQtTest, TrayImageAndRepaintFollowTheQuality)
{
    Logic().sessionStarted();
    Logic().setLinkQuality(55);
    EXPECT_EQ(m_pIndicator->TrayImage(), 134);
    Logic().sessionEnded();
    EXPECT_EQ(m_pIndicator->TrayImage(), 140);
    Logic().Destroy();
    EXPECT_EQ(m_pIndicator->Window(), nullptr);
}
