#pragma once

// In a Wayland session a window cannot place itself or stay out of the focus; on Xwayland the
// alert can. Runs the program on X11 (xcb) when an X display is there and the user has not
// chosen a platform. Call before the application object exists.
void PreferX11Display();
