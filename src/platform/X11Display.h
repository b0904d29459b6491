#pragma once
// Whether the X display that DISPLAY names can be opened. Qt ends a program that
// cannot reach its display (a stale DISPLAY after ssh or a logout), so a program
// that can run without windows asks first.

// True when the display opens (it is closed again at once).
bool CanOpenX11Display();
