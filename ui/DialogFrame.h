#pragma once

#include <QRect>
#include <QString>

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The frame every configuration window shares: a fixed client area, a title bar with a close
// control and no minimise or maximise control, controls placed at fixed pixel rectangles. The
// layouts were drawn for an 8-point dialog font; a larger one would clip the captions.
void SetFixedFrame(QDialog& dialog, const QString& caption, int width, int height);

// The controls, named like their window's controls so that they can be found again. Buttons
// are never bound to Enter: no default and no auto-default button.
QPushButton* MakeButton(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect);
QLabel* MakeLabel(QWidget& parent, const char* name, const QString& caption, const QRect& rect);
QLineEdit* MakeTextBox(QWidget& parent, const char* name, const QRect& rect);
QCheckBox* MakeCheckBox(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect);

// Shows `dialog` and returns when it is hidden for good. It blocks `owner`, the window it was
// opened from, with the windows that `owner` itself was opened from; the tray icon, the alert
// and any other window keep answering. Without an owner it blocks the dialog opened last that
// is still open (the tray opens windows from no window of its own): a dialog opened later must
// close first, since the call that opened it returns first. A window that is hidden and at
// once shown again (re-stacking does that on some platforms) stays in its run instead of
// returning to its caller while still open.
void RunModal(QDialog& dialog, QWidget* owner = nullptr);

// Centres `window` over `owner` when that is a visible window, else on the screen.
void CentreOver(QWidget& window, const QWidget* owner);
