#include "platform/KeyboardLocks.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace
{
// The state of the indicator named `name` ("Caps Lock", ...); a keyboard without that
// indicator reports it off.
bool ReadIndicator(Display* display, const char* name)
{
    const Atom atom = XInternAtom(display, name, True);
    Bool state = False;
    if (atom == None || !XkbGetNamedIndicator(display, atom, nullptr, &state, nullptr, nullptr))
        return false;
    return state != False;
}
} // namespace

bool ReadKeyboardLocks(void* x11Display, KeyboardLocks& locks)
{
    auto* display = static_cast<Display*>(x11Display);
    if (display == nullptr)
        return false;
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor))
        return false;
    locks.capsLock = ReadIndicator(display, "Caps Lock");
    locks.numLock = ReadIndicator(display, "Num Lock");
    locks.scrollLock = ReadIndicator(display, "Scroll Lock");
    return true;
}
