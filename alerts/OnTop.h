#pragma once

class QWidget;

// Moving a window into and out of the topmost band of the desktop's stacking order. Both
// switches also raise and activate a visible window and leave a hidden one hidden. Outside
// Windows the switch is a window flag, and changing it hides and re-shows a visible window: not
// for a dialog that runs modally.
void SetTopMost(QWidget* window);
void ClearTopMost(QWidget* window);
// A one-time raise: topmost and straight back, so that the window ends up in front without
// being pinned there (outside Windows a raise with activation, which keeps modal dialogs
// running). A hidden window is left alone.
void BringToFront(QWidget* window);
