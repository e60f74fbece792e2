#pragma once

#include "ui/Dialogs.h"

#include <QQueue>
#include <QStringList>
#include <functional>
#include <optional>

// A dialog service that answers by itself and remembers what it was asked. Yes/No questions
// take the queued answers in order, then Yes (the first button, as a real box would default
// to); the input box takes the queued answers, then cancels.
class RecordingDialogs final : public Dialogs {
public:
    void Message(const QString& text) override {
        messages << text;
        Shown(text);
    }
    bool AskYesNo(const QString& text) override {
        questions << text;
        Shown(text);
        return yesNo_.isEmpty() ? true : yesNo_.dequeue();
    }
    std::optional<QString> Input(const QString& prompt, const QString& initial) override {
        prompts << prompt;
        initials << initial;
        Shown(prompt);
        return inputs_.isEmpty() ? std::nullopt : inputs_.dequeue();
    }

    int Choose(const QString& text, const QStringList& buttons) override {
        choices << text;
        choiceButtons << buttons;
        Shown(text);
        return choose_.isEmpty() ? 0 : choose_.dequeue();
    }

    void QueueYesNo(bool yes) { yesNo_.enqueue(yes); }
    void QueueChoice(int index) { choose_.enqueue(index); }
    void QueueInput(std::optional<QString> answer) { inputs_.enqueue(std::move(answer)); }
    void Clear() {
        messages.clear();
        questions.clear();
        prompts.clear();
        initials.clear();
        yesNo_.clear();
        inputs_.clear();
        choices.clear();
        choiceButtons.clear();
        choose_.clear();
    }

    QStringList messages;             // Message texts, in order
    QStringList questions;            // AskYesNo texts
    QStringList prompts;              // Input prompts
    QStringList initials;             // Input initial texts
    QStringList choices;              // Choose texts
    QList<QStringList> choiceButtons; // the buttons each Choose offered
    // Runs while a dialog is "open", with its text: a real box keeps the event loop running,
    // so a test can make things happen at that moment.
    std::function<void(const QString&)> whileShown;

private:
    void Shown(const QString& text) {
        if (whileShown)
            whileShown(text);
    }

    QQueue<bool> yesNo_;
    QQueue<std::optional<QString>> inputs_;
    QQueue<int> choose_;
};
