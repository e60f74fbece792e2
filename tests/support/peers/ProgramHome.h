#pragma once

#include "support/TestWorld.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// A home of its own for a program a test starts: config/ for its settings, run/ as its
// runtime folder (the owner's only, as the program wants it), bin/ for a copy of the program,
// whose logs land beside it.
struct ProgramHome {
    ProgramHome() {
        for (const char* folder : {"config", "run", "bin"})
            QDir(dir.path()).mkpath(folder);
        QFile::setPermissions(dir.filePath("run"), OwnerOnly);
    }
    QString SettingsPath() const { return dir.filePath("config/Tarnwick.ini"); }
    QString ProgramFolder() const { return dir.filePath("bin"); }
    // `env` with this home's folders as the program's.
    QProcessEnvironment Environment(QProcessEnvironment env) const {
        env.insert("HOME", dir.path());
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        return env;
    }
    QTemporaryDir dir;
};
