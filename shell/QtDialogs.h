#pragma once

#include "ui/Dialogs.h"

#include <cstdio>

// Message boxes and the input box of Qt, captioned "Tarnwick". Each blocks the window it is
// opened from (see Dialogs::OpenedFrom), not the whole program: the tray icon keeps answering.
//
// Headless (the offscreen platform, where nobody can see a box), every box writes its text to
// `headlessOut` instead and takes its default answer at once: OK, Yes, or the input box's text
// as it was offered.
class QtDialogs final : public Dialogs {
public:
    QtDialogs();
    QtDialogs(bool headless, std::FILE* headlessOut) : headless_(headless), out_(headlessOut) {}

    void Message(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    std::optional<QString> Input(const QString& prompt, const QString& initial) override;
    void AskYesNoLater(const QString& text, std::function<void(bool)> answered) override;
    void Tell(const QString& text) override;
    int Choose(const QString& text, const QStringList& buttons) override;

private:
    void Print(const QString& text) const;

    bool headless_ = false;
    std::FILE* out_ = stderr;
};
