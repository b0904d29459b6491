#pragma once
// The keyboard's Caps Lock, Num Lock and Scroll Lock states, where the window system
// reports them: on X11 through the keyboard extension. Wayland and the offscreen
// platform report none.
struct KeyboardLocks
{
    bool capsLock = false;
    bool numLock = false;
    bool scrollLock = false;
};

// `x11Display` is the Xlib display of the running window system (null elsewhere).
// False when the states cannot be read.
bool ReadKeyboardLocks(void* x11Display, KeyboardLocks& locks);
