// The indicator's arithmetic: rectangles, the bar split, the text position, the font
// height, the colour values and the menu model.
#include "client/IndicatorLayout.h"
#include "client/IndicatorMenu.h"

#include <gtest/gtest.h>

TEST(IndicatorLayoutTest, VerticalLayoutPutsTheTextStripAtTheBottom)
{
    const IndicatorLayout layout = ComputeIndicatorLayout({0, 0, 40, 60}, false, 2, 14);
    EXPECT_EQ(layout.inner, (IndicatorRect{1, 1, 39, 59}));
    EXPECT_EQ(layout.bar, (IndicatorRect{3, 3, 37, 45}));
    EXPECT_EQ(layout.text, (IndicatorRect{1, 45, 39, 59}));
}

TEST(IndicatorLayoutTest, HorizontalLayoutPutsTheTextStripAtTheRight)
{
    const IndicatorLayout layout = ComputeIndicatorLayout({0, 0, 100, 24}, true, 3, 30);
    EXPECT_EQ(layout.inner, (IndicatorRect{1, 1, 99, 23}));
    EXPECT_EQ(layout.bar, (IndicatorRect{4, 4, 69, 20}));
    EXPECT_EQ(layout.text, (IndicatorRect{69, 1, 99, 23}));
}

TEST(IndicatorLayoutTest, BarSplitFollowsTheMissingQuality)
{
    // A vertical bar of height 50 at 75 %: the top 12 pixels off, the lower 38 on.
    const IndicatorBarSplit vertical = SplitIndicatorBar({3, 10, 20, 60}, false, 75);
    EXPECT_EQ(vertical.off, (IndicatorRect{3, 10, 20, 22}));
    EXPECT_EQ(vertical.on, (IndicatorRect{3, 22, 20, 60}));
    EXPECT_EQ(vertical.off.Height(), 12);
    EXPECT_EQ(vertical.on.Height(), 38);

    // Horizontal: the left k pixels off, the rest on.
    const IndicatorBarSplit horizontal = SplitIndicatorBar({0, 0, 50, 8}, true, 75);
    EXPECT_EQ(horizontal.off, (IndicatorRect{0, 0, 12, 8}));
    EXPECT_EQ(horizontal.on, (IndicatorRect{12, 0, 50, 8}));

    EXPECT_TRUE(SplitIndicatorBar({0, 0, 10, 50}, false, 100).off.IsEmpty());
    EXPECT_TRUE(SplitIndicatorBar({0, 0, 10, 50}, false, 0).on.IsEmpty());
}

TEST(IndicatorLayoutTest, MarginsLargerThanTheWindowLeaveAnEmptyBar)
{
    const IndicatorLayout layout = ComputeIndicatorLayout({0, 0, 20, 20}, false, 15, 14);
    EXPECT_TRUE(layout.bar.IsEmpty());
    const IndicatorBarSplit split = SplitIndicatorBar(layout.bar, false, 40);
    EXPECT_TRUE(split.off.IsEmpty());
    EXPECT_TRUE(split.on.IsEmpty());
    // A huge bar does not overflow the product.
    const IndicatorBarSplit huge = SplitIndicatorBar({0, 0, 10, 2000000000}, false, 1);
    EXPECT_EQ(huge.off.Height(), 1980000000);
}

TEST(IndicatorLayoutTest, TextIsCentredWithEachHalfCutTowardsZero)
{
    EXPECT_EQ(CentreText({1, 45, 39, 59}, 21, 11), (IndicatorRect{9, 46, 30, 57}));
    // Wider than its area: starts left of it, to be clipped.
    EXPECT_EQ(CentreText({0, 0, 10, 10}, 15, 10), (IndicatorRect{-2, 0, 13, 10}));
    EXPECT_EQ(LinkQualityText(75), "75%");
    EXPECT_EQ(LinkQualityText(0), "0%");
}

TEST(IndicatorLayoutTest, FontHeightFromPointsAndDotsPerInch)
{
    EXPECT_EQ(IndicatorFontHeight(8, 96), -10); // 10.67 cut towards zero
    EXPECT_EQ(IndicatorFontHeight(9, 96), -12);
    EXPECT_EQ(IndicatorFontHeight(10, 192), -26);
    EXPECT_EQ(IndicatorFontHeight(0, 96), 0);
    EXPECT_EQ(IndicatorFontHeight(2000000000, 96), 0); // does not fit: the default size
}

TEST(IndicatorMenuTest, ItemsTextsIdsAndStates)
{
    const auto items = BuildIndicatorMenu(7001, true, false);
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0].text, "Ostrivel Tarvi*Qen Client v1.0.9");
    EXPECT_EQ(items[0].id, 0);
    EXPECT_TRUE(items[0].enabled);
    EXPECT_EQ(items[1].text, "Servicing TCP Port 7001");
    EXPECT_EQ(items[1].id, 0);
    EXPECT_TRUE(items[2].separator);
    EXPECT_EQ(items[3].text, "Hide &Indicator");
    EXPECT_EQ(items[3].id, 32869);
    EXPECT_TRUE(items[4].separator);
    EXPECT_EQ(items[5].text, "E&xit");
    EXPECT_EQ(items[5].id, 32870);
    EXPECT_FALSE(items[5].enabled);

    const auto hidden = BuildIndicatorMenu(7001, false, true);
    EXPECT_EQ(hidden[3].text, "Show &Indicator");
    EXPECT_TRUE(hidden[5].enabled);
}
