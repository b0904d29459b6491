// The tray icon's twelve pictures: all different, coloured by the link quality, grey
// when idle.
#include "client/qt/TrayImages.h"

#include <gtest/gtest.h>

#include <set>

namespace
{
// Pixels that are clearly coloured (not grey, white or transparent).
int Saturated(const QImage& image, bool wantGreen)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
        {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() < 200 || c.hsvSaturation() < 128)
                continue;
            const bool green = c.green() > c.red() && c.green() > c.blue();
            count += green == wantGreen ? 1 : 0;
        }
    return count;
}
} // namespace

TEST(TrayImagesTest, TwelveDifferentPicturesColouredByQuality)
{
    std::set<QByteArray> seen;
    for (int id = 129; id <= 140; ++id)
    {
        const QImage image = DrawTrayImage(id, 32);
        ASSERT_EQ(image.size(), QSize(32, 32));
        seen.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()),
                               static_cast<qsizetype>(image.sizeInBytes())));
    }
    EXPECT_EQ(seen.size(), 12u);

    EXPECT_EQ(Saturated(DrawTrayImage(140, 32), true) + Saturated(DrawTrayImage(140, 32), false),
              0)
        << "idle is grey";
    EXPECT_GT(Saturated(DrawTrayImage(139, 32), true), 100) << "100 % is green";
    EXPECT_EQ(Saturated(DrawTrayImage(131, 32), true), 0) << "20 % is not green";
    EXPECT_GT(Saturated(DrawTrayImage(131, 32), false), 5) << "20 % is red";
    EXPECT_GT(Saturated(DrawTrayImage(139, 32), true), Saturated(DrawTrayImage(137, 32), true));
    EXPECT_EQ(DrawTrayImage(7, 16), DrawTrayImage(140, 16)) << "an unknown id is idle";
}

TEST(TrayImagesTest, IconCarriesTheDesktopSizes)
{
    const QIcon icon = MakeTrayIcon(134);
    for (const int size : {16, 22, 24, 32, 48, 64})
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
}
