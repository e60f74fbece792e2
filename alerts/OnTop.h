#pragma once

class QWidget;

// Moving a window into and out of the topmost band of the desktop's stacking order. Both
// switches raise a visible window without activating it, and leave a hidden one hidden. Outside
// Windows the switch is a window flag, and changing it hides and re-shows a visible window: not
// for a dialog that runs modally.
void SetTopMost(QWidget* window);
void ClearTopMost(QWidget* window);
// A one-time raise: topmost and straight back, so that the window ends up in front without
// being pinned there; it also activates the window, which the user has asked to see (outside
// Windows a raise with activation, which keeps modal dialogs running). A hidden window is left
// alone.
void BringToFront(QWidget* window);

// Raises `window` in the stacking order where the platform has one; the offscreen and
// minimal platforms have none, and asking them only prints a warning. Every raise of a
// window goes through here.
void RaiseWindow(QWidget* window);
// Whether the platform stacks windows at all (not so offscreen and minimal).
bool HasStackingOrder();

// Keeps `window` out of the keyboard focus for good: it never becomes the active window, not when
// shown, raised or clicked, so that keys keep going where the user types. Outside Windows it is
// also a window that the window manager does not manage (X11 override-redirect): it stays where
// the program puts it and above the managed windows. Without a stacking order a tool window
// becomes a plain one. Call before the window is first shown.
void KeepOutOfFocus(QWidget* window);
