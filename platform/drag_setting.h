// The desktop flag "drag full windows" (a window is shown whole while it is
// dragged, instead of as an outline).
//
// Linux desktops have no such system-wide switch for a program to turn off,
// so the flag is kept in the user profile, section "Desktop", key
// "DragFullWindows" ("1" on, "0" off; a missing key reads as on, the usual
// desktop default). Switching it has no visible effect here; the program
// still switches it off for its run and back on at a normal exit, and the
// stored value shows that it did.
#pragma once

namespace kel::platform {

bool GetDragFullWindows();
// Stores the flag; 0 or an error code.
int SetDragFullWindows(bool on);

}  // namespace kel::platform
