#pragma once

#include <QString>
#include <optional>

// Renames `from` to `to` in one step, replacing a file already at `to`. Unlike QFile::rename,
// it never falls back to copying (a huge file would be copied whole) and never removes `to`
// first, so `from` is never gone while the rename may still fail. The error text, or nothing
// on success.
std::optional<QString> RenameInOneStep(const QString& from, const QString& to);
