#pragma once
// The tray icon's pictures, drawn in code: a signal wedge that fills from the left
// with the link quality (images 129 to 139 for 0 to 100 %), red while weak, amber in
// the middle, green while good, and a grey wedge when no session runs (image 140).
#include <QIcon>
#include <QImage>

// One picture of `size` x `size` pixels; an id outside 129..140 gives the idle picture.
QImage DrawTrayImage(int imageId, int size);

// The picture at the sizes desktops ask for (16 to 64 pixels).
QIcon MakeTrayIcon(int imageId);
