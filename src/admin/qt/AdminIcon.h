#pragma once
// The console's pictures, drawn in code: the program icon and the Servers view's
// server picture.
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

// The program icon, `size` by `size` pixels: two server units on a blue tile over a
// signal trace.
QImage DrawAdminIcon(int size);
// The program icon in the sizes a desktop asks for.
QIcon AdminIcon();
// Writes DrawAdminIcon(size) as a PNG file; false when it cannot be written. Needs no
// application object (no display).
bool ExportAdminIcon(int size, const QString& path);

// One server, for the items of the Servers view.
QPixmap DrawServerIcon(int size);
