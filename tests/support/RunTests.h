#pragma once

#include <QTest>

// Runs several test classes in one executable, each on a fresh object; non-zero when any
// of them failed.
template <typename... Tests> int RunTests(int argc, char** argv) {
    int status = 0;
    auto run = [&](auto&& test) { status |= QTest::qExec(&test, argc, argv); };
    (run(Tests{}), ...);
    return status;
}
