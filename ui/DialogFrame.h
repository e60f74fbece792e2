#pragma once

#include <QFont>
#include <QRect>
#include <QString>

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The font every window is laid out in. The fixed rectangles were drawn for a narrow 8-point
// sans serif that Linux lacks (it falls back to a wider face there, which clips the
// captions); Liberation Sans, which comes with the program's dependencies, fits every caption
// at 10 pixels, whatever the screen's dots per inch.
QFont WindowFont();

// The frame every configuration window shares: a fixed client area, a title bar with a close
// control and no minimise or maximise control, controls placed at fixed pixel rectangles, in
// the window font.
void SetFixedFrame(QDialog& dialog, const QString& caption, int width, int height);

// Puts `text` in `label` whole, without moving or widening it: in the label's own font where
// it fits, else in the largest smaller pixel size that does (a 16-bit value such as -32768 in
// a 25-pixel value label).
void SetFittedText(QLabel& label, const QString& text);

// Makes a screen reader name every drop-down by its accessible name (set from its label), as
// every other control is: Qt's own interface for a combo box on Linux names it by its current
// item. Once, after the application is made.
void NameDropDownsByLabel();

// The controls, named like their window's controls so that they can be found again. Buttons
// are never bound to Enter: no default and no auto-default button.
QPushButton* MakeButton(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect);
QLabel* MakeLabel(QWidget& parent, const char* name, const QString& caption, const QRect& rect);
QLineEdit* MakeTextBox(QWidget& parent, const char* name, const QRect& rect);
QCheckBox* MakeCheckBox(QWidget& parent, const char* name, const QString& caption,
                        const QRect& rect);

// Shows `dialog` in front of `owner`, the window it is opened from, with the keyboard focus,
// and returns at once. It blocks `owner` with the windows that `owner` itself was opened from;
// the tray icon, the alert and any other window keep answering. Without an owner it blocks no
// window. It comes up in front every time, not only the first: a window that was hidden keeps
// its old place in the stacking order, which the windows raised since lie above.
void OpenModal(QDialog& dialog, QWidget* owner);

// Opens `dialog` as OpenModal does and returns when it is hidden for good. A window that is
// hidden and at once shown again (re-stacking does that on some platforms) stays in its run
// instead of returning to its caller while still open. Only for a dialog whose answer the
// caller needs: every window opened meanwhile runs inside this call, so the caller goes on
// only once those have closed too.
void RunModal(QDialog& dialog, QWidget* owner = nullptr);

// Centres `window` over `owner` when that is a visible window, else on the screen.
void CentreOver(QWidget& window, const QWidget* owner);
