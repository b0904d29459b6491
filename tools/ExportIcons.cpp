// Writes the desktop icons of the packages as PNG files, drawn by the programs' own
// icon code: tq_export_icons FOLDER SIZE... gives FOLDER/SIZExSIZE/tarviqen-client.png
// (the tray picture of a perfect link, which is also the client's window icon).
#include "client/qt/TrayImages.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
constexpr int PERFECT_LINK_IMAGE = 139;

bool WriteIcon(const QImage& image, const QString& folder, const char* name)
{
    if (!QDir().mkpath(folder) || !image.save(folder + "/" + name + ".png"))
    {
        std::fprintf(stderr, "tq_export_icons: cannot write %s/%s.png\n", qPrintable(folder), name);
        return false;
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: tq_export_icons FOLDER SIZE...\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i)
    {
        const int size = std::atoi(argv[i]);
        if (size < 16 || size > 512)
        {
            std::fprintf(stderr, "tq_export_icons: size %s is not 16 to 512\n", argv[i]);
            return 2;
        }
        const QString sized = QString("%1/%2x%2").arg(folder).arg(size);
        if (!WriteIcon(DrawTrayImage(PERFECT_LINK_IMAGE, size), sized, "tarviqen-client"))
        {
            return 1;
        }
    }
    return 0;
}
