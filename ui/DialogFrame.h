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

// Shows `dialog` modally until it is hidden for good. A window that is hidden and at once
// shown again (re-stacking does that on some platforms) stays in its modal run instead of
// returning to its caller while still open.
void RunModal(QDialog& dialog);

// Centres `window` over `owner` when that is a visible window, else on the screen.
void CentreOver(QWidget& window, const QWidget* owner);
