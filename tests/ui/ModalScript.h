#pragma once

#include "support/doubles/TraceRecorder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

// Runs `action` on the window named `name` once it is the active modal window: the way a test
// works the buttons of a window that runs its own modal loop. Call it before the call that
// opens the window; the action runs inside that window's loop.
inline void WhenModal(const QString& name, std::function<void(QWidget&)> action,
                      int timeoutMs = 5000) {
    auto* poll = new QTimer(qApp);
    auto since = std::make_shared<QElapsedTimer>();
    since->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, name, action, since, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && modal->objectName() == name) {
            poll->stop();
            poll->deleteLater();
            action(*modal);
        } else if (since->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
            qWarning("WhenModal: %s never opened", qPrintable(name));
        }
    });
    poll->start(1);
}

template <typename T = QWidget> T* Control(QWidget& window, const char* name) {
    return window.findChild<T*>(QLatin1String(name));
}

// A real mouse click: a disabled button ignores it.
inline void Press(QWidget& window, const char* button) {
    QTest::mouseClick(Control<QAbstractButton>(window, button), Qt::LeftButton);
}

inline void Type(QWidget& window, const char* box, const QString& text) {
    QLineEdit* edit = Control<QLineEdit>(window, box);
    edit->clear();
    QTest::keyClicks(edit, text);
}
