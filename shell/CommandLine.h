#pragma once

#include <QStringList>
#include <optional>

// Reads the command line before anything else happens: "--help" and "--version" print and
// end the process with 0, an unknown option prints one line and ends it with 2. None of them
// needs a display or touches a file. Nothing when the program should start; otherwise the
// process's exit code, after printing.
std::optional<int> HandleCommandLine(const QStringList& arguments);
