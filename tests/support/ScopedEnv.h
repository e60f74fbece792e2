#pragma once

#include <QByteArray>
#include <QList>
#include <initializer_list>
#include <utility>

// Environment variables set for a test's scope; what was there before (or nothing) comes back
// at its end.
class ScopedEnv final {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, QByteArray>> values) {
        for (const auto& [name, value] : values) {
            saved_.append({name, qgetenv(name)});
            qputenv(name, value);
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.crbegin(); it != saved_.crend(); ++it)
            it->second.isNull() ? qunsetenv(it->first) : qputenv(it->first, it->second);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    QList<std::pair<const char*, QByteArray>> saved_;
};
