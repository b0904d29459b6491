#include "client/IndicatorLayout.h"

#include <cmath>
#include <cstdint>
#include <limits>

IndicatorLayout ComputeIndicatorLayout(const IndicatorRect& client, bool horizontal, int margin,
                                       int textAreaSize)
{
    IndicatorLayout layout;
    layout.inner = {client.left + 1, client.top + 1, client.right - 1, client.bottom - 1};
    layout.bar = layout.inner;
    layout.bar.left += margin;
    layout.bar.top += margin;
    layout.text = layout.inner;
    if (horizontal)
    {
        layout.bar.right -= textAreaSize;
        layout.bar.bottom -= margin;
        layout.text.left = layout.inner.right - textAreaSize;
    }
    else
    {
        layout.bar.right -= margin;
        layout.bar.bottom -= textAreaSize;
        layout.text.top = layout.inner.bottom - textAreaSize;
    }
    return layout;
}

IndicatorBarSplit SplitIndicatorBar(const IndicatorRect& bar, bool horizontal, int quality)
{
    const int64_t length = horizontal ? bar.Width() : bar.Height();
    // 64 bits: a bar of a few million pixels must not overflow the product.
    const int k = static_cast<int>((100 - static_cast<int64_t>(quality)) * length / 100);
    IndicatorBarSplit split{bar, bar};
    if (horizontal)
    {
        split.off.right = bar.left + k;
        split.on.left = bar.left + k;
    }
    else
    {
        split.off.bottom = bar.top + k;
        split.on.top = bar.top + k;
    }
    return split;
}

IndicatorRect CentreText(const IndicatorRect& area, int textWidth, int textHeight)
{
    const int x = area.left + (area.Width() - textWidth) / 2;
    const int y = area.top + (area.Height() - textHeight) / 2;
    return {x, y, x + textWidth, y + textHeight};
}

std::string LinkQualityText(int quality)
{
    return std::to_string(quality) + "%";
}

int IndicatorFontHeight(int points, int dotsPerInch)
{
    const double height = std::trunc(static_cast<double>(points) * dotsPerInch / 72.0);
    if (height > std::numeric_limits<int>::max() || height < -std::numeric_limits<int>::max())
    {
        return 0;
    }
    return -static_cast<int>(height);
}
