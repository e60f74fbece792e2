#pragma once

#include "core/Dialogs.h"

// Message boxes and the input box of Qt, captioned "Tarnwick".
class QtDialogs final : public Dialogs {
public:
    void Message(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    std::optional<QString> Input(const QString& prompt, const QString& initial) override;
};
