#pragma once

#include <QString>

// Where the logic library's messages for the user go; it opens no window itself. The GUI's
// message boxes are one.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // A message with an OK button.
    virtual void Message(const QString& text) = 0;
};
