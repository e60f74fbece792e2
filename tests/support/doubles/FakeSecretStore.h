#pragma once

#include "core/SecretStore.h"

#include <QMap>
#include <QTimer>

// A keyring in memory that answers on the next turn of the event loop, as a real one does.
class FakeSecretStore final : public SecretStore {
public:
    enum class Fault { None, RefuseWrites, ReadBackOther };

    bool Available() const override { return available; }
    void Read(const QString& label, Done done) override {
        const bool found = items.contains(label);
        const QString secret =
            fault == Fault::ReadBackOther ? QStringLiteral("other") : items.value(label);
        Later([=] { done(found ? Result::Ok : Result::NotFound, secret, QStringLiteral("none")); });
    }
    void Write(const QString& label, const QString& secret, Done done) override {
        if (fault == Fault::RefuseWrites)
            return Later(
                [=] { done(Result::Refused, {}, QStringLiteral("the keyring is locked")); });
        items.insert(label, secret);
        Later([=] { done(Result::Ok, {}, {}); });
    }
    void Remove(const QString& label, Done done) override {
        items.remove(label);
        Later([=] { done(Result::Ok, {}, {}); });
    }

    bool available = true;
    Fault fault = Fault::None;
    QMap<QString, QString> items;

private:
    void Later(std::function<void()> call) { QTimer::singleShot(0, this, std::move(call)); }
};
