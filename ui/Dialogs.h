#pragma once

#include "core/MessageSink.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Message boxes and the input box, captioned "Tarnwick". The program passes the real ones;
// tests pass a service that answers by itself.
class Dialogs : public MessageSink {
public:
    // A question with Yes and No; true for Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The input box: the text entered, or nothing when cancelled.
    virtual std::optional<QString> Input(const QString& prompt, const QString& initial) = 0;

    // The same question, without waiting for the answer: `answered` runs when it is given, so
    // that no window opened meanwhile can hold the answer back. Here it is asked and answered
    // at once.
    virtual void AskYesNoLater(const QString& text, std::function<void(bool)> answered) {
        const bool yes = AskYesNo(text);
        if (answered)
            answered(yes);
    }
    // A message that nothing waits for.
    virtual void Tell(const QString& text) { Message(text); }
    // A message with buttons of its own, named by `buttons`: the index of the one pressed.
    // The first is the default, and what Esc and the close control give: make it the choice
    // that changes nothing. Here the text is shown as a message and the first button taken.
    virtual int Choose(const QString& text, const QStringList& buttons) {
        Message(text);
        return buttons.isEmpty() ? -1 : 0;
    }

    // The window that the boxes opened while it lives are opened from: they block that window
    // (and the windows it was opened from) and nothing else. None blocks no window. Scopes
    // nest with the calls that open them, so a box always belongs to the window whose action
    // opened it, whatever window happens to be active. With `awaited` false nothing in the
    // scope needs a message closed before it goes on: Message then works as Tell.
    class OpenedFrom final {
    public:
        OpenedFrom(Dialogs& dialogs, QObject* window, bool awaited = true)
            : dialogs_(dialogs), previous_(dialogs.owner_), previousAwaited_(dialogs.awaited_) {
            dialogs_.owner_ = window;
            dialogs_.awaited_ = awaited;
        }
        ~OpenedFrom() {
            dialogs_.owner_ = previous_;
            dialogs_.awaited_ = previousAwaited_;
        }
        OpenedFrom(const OpenedFrom&) = delete;
        OpenedFrom& operator=(const OpenedFrom&) = delete;

    private:
        Dialogs& dialogs_;
        QPointer<QObject> previous_;
        bool previousAwaited_ = true;
    };

protected:
    QObject* Owner() const { return owner_; }
    bool Awaited() const { return awaited_; }

private:
    QPointer<QObject> owner_;
    bool awaited_ = true;
};
