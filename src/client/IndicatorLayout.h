#pragma once
// The arithmetic of the indicator window, without any window system: its rectangles,
// the split of the bar into its off and on parts, the centred percentage text and the
// font height. Rectangles are left, top, right, bottom with right and bottom outside
// the rectangle; one whose right is not beyond its left (or bottom beyond top) is
// empty and paints nothing.
#include <string>

struct IndicatorRect
{
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool IsEmpty() const { return right <= left || bottom <= top; }
    bool operator==(const IndicatorRect&) const = default;
};

// Inner, bar and text rectangles of one client rectangle.
struct IndicatorLayout
{
    IndicatorRect inner;
    IndicatorRect bar;
    IndicatorRect text;
};

// The bar's part in the off colour (the missing quality) and the part in the on colour.
struct IndicatorBarSplit
{
    IndicatorRect off;
    IndicatorRect on;
};

// Vertical: text strip at the bottom, bar filling upwards. Horizontal: text strip at
// the right, bar filling from the right to the left.
IndicatorLayout ComputeIndicatorLayout(const IndicatorRect& client, bool horizontal, int margin,
                                       int textAreaSize);

// k = (100 - quality) x L / 100 pixels of the bar (L its height, or width when
// horizontal) are off: the top k, or the left k.
IndicatorBarSplit SplitIndicatorBar(const IndicatorRect& bar, bool horizontal, int quality);

// The box of a text of the given extent, centred in `area` (each half cut towards zero).
IndicatorRect CentreText(const IndicatorRect& area, int textWidth, int textHeight);

// "75%".
std::string LinkQualityText(int quality);

// The font height of `points` at `dotsPerInch`: -(points x dpi / 72) computed in
// floating point and cut towards zero; 0 (the default size) when it does not fit.
int IndicatorFontHeight(int points, int dotsPerInch);
