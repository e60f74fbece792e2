#pragma once

#include <QString>
#include <optional>

// Message boxes and the input box, captioned "Tarnwick". The program passes the real ones;
// tests pass a service that answers by itself.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A message with an OK button.
    virtual void Message(const QString& text) = 0;
    // A question with Yes and No; true for Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The input box: the text entered, or nothing when cancelled.
    virtual std::optional<QString> Input(const QString& prompt, const QString& initial) = 0;
};
