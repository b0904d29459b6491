// The indicator logic with a recording window system and a clock the test moves:
// tray images, auto show and hide, the menu's commands, dragging and painting.
#include "client/IndicatorWnd.h"
#include "client/Settings.h"
#include "support/ClientSettings.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace tq_test;

namespace
{

class RecordingView : public IIndicatorView
{
  public:
    bool CreateIndicatorWindow(int l, int t, int w, int h, int a) override
    {
        created = {l, t, w, h, a};
        left = l;
        top = t;
        return createSucceeds;
    }
    void DestroyIndicatorWindow() override { calls.push_back("destroy"); }
    void ShowIndicatorWindow() override { visible = true; }
    void HideIndicatorWindow() override { visible = false; }
    void Repaint() override { ++repaints; }
    int WindowLeft() const override { return left; }
    int WindowTop() const override { return top; }
    void MoveIndicatorWindow(int l, int t) override
    {
        left = l;
        top = t;
    }
    bool IsTopmost() const override { return topmost; }
    void MakeTopmost() override
    {
        topmost = true;
        calls.push_back("topmost");
    }
    void AddTrayIcon(int imageId, const std::string& tip) override
    {
        calls.push_back("add " + std::to_string(imageId) + " " + tip);
        trayImage = imageId;
    }
    void ChangeTrayImage(int imageId) override { trayImage = imageId; }
    void RemoveTrayIcon() override { calls.push_back("remove tray"); }
    bool AskYesNo(const std::string& caption, const std::string& text) override
    {
        questions.push_back(caption + ": " + text);
        if (onAsk)
            onAsk();
        return answer;
    }
    void RequestExit() override { ++exitRequests; }
    void SetAutoHideTimer(std::optional<uint32_t> ms) override { timer = ms; }

    bool createSucceeds = true;
    std::vector<int> created;
    bool visible = false;
    int repaints = 0;
    int left = 0;
    int top = 0;
    bool topmost = true;
    int trayImage = 0;
    std::vector<std::string> calls;
    std::vector<std::string> questions;
    std::function<void()> onAsk;
    bool answer = false;
    int exitRequests = 0;
    std::optional<uint32_t> timer;
};

class IndicatorWndTest : public ::testing::Test
{
  protected:
    void SetUp() override { Configure({}); }
    void TearDown() override { CSettings::DestroyInstance(); }

    // The test settings with the given changes, read by a newly created indicator.
    void Configure(const SettingList& changes)
    {
        SettingList list = ClientSettings("/tmp", "/tmp", 7001, "127.0.0.1:7000", 7);
        for (const auto& [name, value] : changes)
            SetSetting(list, name, value);
        CSettings::DestroyInstance();
        for (const auto& [name, value] : list)
            CSettings::GetInstance()->SetValue(name, value);
    }
    // Moves the clock; the view's timer runs out if it was armed for no longer.
    void Advance(uint32_t ms)
    {
        const auto armed = m_view.timer;
        m_clock.Advance(ms);
        if (armed && *armed <= ms)
        {
            m_view.timer.reset();
            m_indicator.OnAutoHideTimer();
        }
        else if (armed)
        {
            m_view.timer = *armed - ms;
        }
    }

    FakeClock m_clock;
    RecordingView m_view;
    CIndicatorWnd m_indicator{m_view, m_clock};
};

} // namespace

TEST_F(IndicatorWndTest, CreateReadsTheSettingsAndStartsHiddenWithTheIdleImage)
{
    Configure({{"IndicatorAlphaBlending", "180"}, {"IndicatorOrientation", "7"}});
    ASSERT_TRUE(m_indicator.Create());
    EXPECT_EQ(m_view.created, (std::vector<int>{100, 200, 40, 60, 180}));
    EXPECT_FALSE(m_indicator.IsVisible());
    EXPECT_FALSE(m_view.visible);
    EXPECT_TRUE(m_indicator.IsHorizontal());
    EXPECT_EQ(m_view.calls, (std::vector<std::string>{"add 140 Ostrivel Tarvi*Qen Client"}));
    EXPECT_EQ(m_indicator.GetLeft(), 100);
    EXPECT_EQ(m_indicator.GetTop(), 200);
    EXPECT_EQ(m_indicator.GetFontName(), "Tahoma");
    EXPECT_EQ(m_indicator.FontHeight(96), -10);

    m_indicator.Destroy();
    EXPECT_EQ(m_view.calls.back(), "destroy");
    EXPECT_EQ(m_view.calls[1], "remove tray");
}

TEST_F(IndicatorWndTest, CreateFailsWhenTheWindowCannotBeMadeAndAlphaIsClamped)
{
    m_view.createSucceeds = false;
    EXPECT_FALSE(m_indicator.Create());
    EXPECT_TRUE(m_view.calls.empty()) << "no tray icon without a window";

    Configure({{"IndicatorAlphaBlending", "400"}});
    m_view.createSucceeds = true;
    ASSERT_TRUE(m_indicator.Create());
    EXPECT_EQ(m_indicator.GetAlpha(), 255);
}

TEST_F(IndicatorWndTest, TrayImageFollowsTheLinkQualityInStepsOfTen)
{
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    EXPECT_EQ(m_view.trayImage, 129); // quality 0 while the session runs
    m_indicator.setLinkQuality(55);
    EXPECT_EQ(m_view.trayImage, 134);
    m_indicator.setLinkQuality(99);
    EXPECT_EQ(m_view.trayImage, 138);
    m_indicator.setLinkQuality(100);
    EXPECT_EQ(m_view.trayImage, 139);
    m_indicator.sessionEnded();
    EXPECT_EQ(m_view.trayImage, 140);
    EXPECT_EQ(m_indicator.GetLinkQuality(), 0);
    EXPECT_FALSE(m_indicator.IsSessionActive());
    EXPECT_EQ(std::count_if(m_view.calls.begin(), m_view.calls.end(),
                            [](const std::string& c) { return c.starts_with("add"); }),
              1)
        << "the icon is added once and changed afterwards";
}

TEST_F(IndicatorWndTest, QualityOutsideTheRangeIsIgnored)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(40);
    m_indicator.hide();
    const int repaints = m_view.repaints;
    m_indicator.setLinkQuality(-1);
    m_indicator.setLinkQuality(101);
    EXPECT_EQ(m_indicator.GetLinkQuality(), 40);
    EXPECT_FALSE(m_indicator.IsVisible());
    EXPECT_EQ(m_view.repaints, repaints);
}

TEST_F(IndicatorWndTest, AutoHideAfterThreeSecondsAtFullQualityAndShowAgainOnADrop)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.show();
    m_indicator.setLinkQuality(100);
    ASSERT_EQ(m_view.timer, std::optional<uint32_t>(3000));
    Advance(2999);
    EXPECT_TRUE(m_indicator.IsVisible());
    // The main loop's repeated calls with the same value change nothing before the time.
    m_indicator.setLinkQuality(100);
    EXPECT_TRUE(m_indicator.IsVisible());
    Advance(1);
    EXPECT_FALSE(m_indicator.IsVisible());
    EXPECT_FALSE(m_view.visible);
    EXPECT_FALSE(m_view.timer);

    m_indicator.setLinkQuality(80);
    EXPECT_TRUE(m_indicator.IsVisible()) << "a drop below 100 shows the window at once";
    EXPECT_EQ(m_view.trayImage, 137);
}

TEST_F(IndicatorWndTest, RepeatedFullQualityCallsHideLikeTheTimer)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(90); // shows the window
    ASSERT_TRUE(m_indicator.IsVisible());
    m_indicator.setLinkQuality(100);
    m_clock.Advance(3000);
    m_indicator.setLinkQuality(100);
    EXPECT_FALSE(m_indicator.IsVisible());
}

TEST_F(IndicatorWndTest, WithoutAutoShowAndHideTheWindowStaysAsTheLoopLeftIt)
{
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(50);
    EXPECT_FALSE(m_indicator.IsVisible());
    m_indicator.show();
    m_indicator.setLinkQuality(100);
    EXPECT_FALSE(m_view.timer);
    m_clock.Advance(60000);
    m_indicator.setLinkQuality(100);
    EXPECT_TRUE(m_indicator.IsVisible());
    m_indicator.sessionEnded();
    EXPECT_TRUE(m_indicator.IsVisible()) << "the loop hides it itself";
}

TEST_F(IndicatorWndTest, SessionEndHidesTheWindowWithAutoShowAndHide)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.show();
    m_indicator.setLinkQuality(100);
    m_indicator.sessionEnded();
    EXPECT_FALSE(m_indicator.IsVisible());
    EXPECT_FALSE(m_view.timer) << "no auto hide pending once the window is hidden";
}

TEST_F(IndicatorWndTest, MenuToggleShowsForTenSecondsAtFullQuality)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(90);
    m_indicator.setLinkQuality(100);
    Advance(3000);
    ASSERT_FALSE(m_indicator.IsVisible());
    EXPECT_EQ(m_indicator.MenuItems()[3].text, "Show &Indicator");

    m_indicator.OnCommand(ID_INDICATOR_TOGGLE);
    EXPECT_TRUE(m_indicator.IsVisible());
    EXPECT_EQ(m_indicator.MenuItems()[3].text, "Hide &Indicator");
    Advance(9999);
    EXPECT_TRUE(m_indicator.IsVisible());
    Advance(1);
    EXPECT_FALSE(m_indicator.IsVisible());

    m_indicator.OnCommand(ID_INDICATOR_TOGGLE);
    m_indicator.OnCommand(ID_INDICATOR_TOGGLE);
    EXPECT_FALSE(m_indicator.IsVisible());
    m_indicator.OnCommand(0); // an information line
    EXPECT_FALSE(m_indicator.IsVisible());
}

TEST_F(IndicatorWndTest, ExitAsksAndRequestsTheExitOnlyOnYes)
{
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.OnCommand(ID_INDICATOR_EXIT);
    ASSERT_EQ(m_view.questions.size(), 1u);
    EXPECT_EQ(m_view.questions[0], "Ostrivel Tarvi*Qen Client: Are you really sure you want to "
                                   "exit Ostrivel Tarvi*Qen Client?");
    EXPECT_EQ(m_view.exitRequests, 0);

    // A second Exit while the question is open is ignored.
    m_view.answer = true;
    m_view.onAsk = [this] { m_indicator.OnCommand(ID_INDICATOR_EXIT); };
    m_indicator.OnCommand(ID_INDICATOR_EXIT);
    EXPECT_EQ(m_view.questions.size(), 2u);
    EXPECT_EQ(m_view.exitRequests, 1);
}

TEST_F(IndicatorWndTest, ExitIsGreyedAndDoesNothingWhenNotAllowed)
{
    Configure({{"AllowExit", "0"}});
    ASSERT_TRUE(m_indicator.Create());
    const auto items = m_indicator.MenuItems();
    EXPECT_EQ(items[5].text, "E&xit");
    EXPECT_FALSE(items[5].enabled);
    m_view.answer = true;
    m_indicator.OnCommand(ID_INDICATOR_EXIT);
    EXPECT_TRUE(m_view.questions.empty());
    EXPECT_EQ(m_view.exitRequests, 0);
    EXPECT_EQ(items[1].text, "Servicing TCP Port 7001");
}

TEST_F(IndicatorWndTest, DragMovesTheWindowByThePointersTravel)
{
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.OnLeftButtonDown(10, 5);
    m_indicator.OnMouseMove(30, 25);
    EXPECT_EQ(m_view.left, 120);
    EXPECT_EQ(m_view.top, 220);
    // Relative to the moved window the pointer is back at the press point: no move.
    m_indicator.OnMouseMove(10, 5);
    EXPECT_EQ(m_view.left, 120);
    // Coordinates are signed 16-bit numbers.
    m_indicator.OnMouseMove(0xFFFF, 5);
    EXPECT_EQ(m_view.left, 109);
    EXPECT_FALSE(m_indicator.takeMovedFlag()) << "moved only once the button is released";
    m_indicator.OnLeftButtonUp();
    EXPECT_EQ(m_indicator.GetLeft(), 109);
    EXPECT_EQ(m_indicator.GetTop(), 220);
    EXPECT_TRUE(m_indicator.takeMovedFlag());
    EXPECT_FALSE(m_indicator.takeMovedFlag()) << "asking clears the flag";

    // After the release, moves do not drag.
    m_indicator.OnMouseMove(50, 50);
    EXPECT_EQ(m_view.left, 109);
}

TEST_F(IndicatorWndTest, NoDragWhenMovingIsNotAllowedOrPressedAtTheCorner)
{
    Configure({{"IndicatorAllowMove", "0"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.OnLeftButtonDown(10, 5);
    m_indicator.OnMouseMove(30, 25);
    EXPECT_EQ(m_view.left, 100);
    m_indicator.OnLeftButtonUp();
    EXPECT_TRUE(m_indicator.takeMovedFlag()) << "a release sets the flag in any case";

    Configure({});
    CIndicatorWnd movable(m_view, m_clock);
    ASSERT_TRUE(movable.Create());
    movable.OnLeftButtonDown(0, 0);
    movable.OnMouseMove(30, 25);
    EXPECT_EQ(m_view.left, 100) << "a press at (0, 0) does not drag";
}

TEST_F(IndicatorWndTest, DraggingKeepsAnAutoHiddenWindowUpForTenSeconds)
{
    Configure({{"IndicatorAutoShowAndHide", "1"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(90);
    m_indicator.setLinkQuality(100);
    Advance(2000);
    m_indicator.OnLeftButtonDown(10, 10);
    m_indicator.OnMouseMove(12, 12);
    m_indicator.OnLeftButtonUp();
    Advance(1000); // the old deadline passes
    EXPECT_TRUE(m_indicator.IsVisible());
    Advance(9000);
    EXPECT_FALSE(m_indicator.IsVisible());
}

TEST_F(IndicatorWndTest, KeepOnTopRestoresOnlyAVisibleWindowThatLostIt)
{
    ASSERT_TRUE(m_indicator.Create());
    m_view.topmost = false;
    m_indicator.keepOnTop();
    EXPECT_FALSE(m_view.topmost) << "hidden: left alone";
    m_indicator.show();
    m_indicator.keepOnTop();
    EXPECT_TRUE(m_view.topmost);
    m_indicator.keepOnTop();
    EXPECT_EQ(std::count(m_view.calls.begin(), m_view.calls.end(), "topmost"), 1);
}

TEST_F(IndicatorWndTest, PaintPlanUsesTheColoursAndTheLayout)
{
    Configure({{"IndicatorBorderColor", "1,2,3"},
               {"IndicatorBackgroundColor", "4,5,6"},
               {"IndicatorTextColor", "7,8,9"},
               {"IndicatorOffColor", "10,11,12"},
               {"IndicatorOnColor", "13,14"}});
    ASSERT_TRUE(m_indicator.Create());
    m_indicator.sessionStarted();
    m_indicator.setLinkQuality(75);
    const auto plan = m_indicator.Paint({0, 0, 40, 60});
    EXPECT_EQ(plan.border, 0x030201u);
    EXPECT_EQ(plan.background, 0x060504u);
    EXPECT_EQ(plan.textColor, 0x090807u);
    EXPECT_EQ(plan.offColor, 0x0C0B0Au);
    EXPECT_EQ(plan.onColor, 0x000E0Du);
    // Bar 3..45 (42 high): 25 % of it, cut towards zero, is off.
    EXPECT_EQ(plan.bar.off, (IndicatorRect{3, 3, 37, 13}));
    EXPECT_EQ(plan.bar.on, (IndicatorRect{3, 13, 37, 45}));
    EXPECT_EQ(plan.textArea, (IndicatorRect{1, 45, 39, 59}));
    EXPECT_EQ(plan.text, "75%");
    // Between sessions the indicator says so instead of showing a dead link's 0 %.
    m_indicator.setLinkQuality(0);
    EXPECT_EQ(m_indicator.Paint({0, 0, 40, 60}).text, "0%");
    m_indicator.sessionEnded();
    EXPECT_EQ(m_indicator.Paint({0, 0, 40, 60}).text, "Idle");
}
