#pragma once
// The client on a desktop: the windows (tray icon, indicator, message boxes) on the
// calling thread, which runs Qt's event loop, and the main loop on a thread of its own.

// Runs start-up, main loop and shutdown like CClientApplication::Run; always 0.
int RunClientWithWindows(int argc, char** argv);
