#include "Files.h"

#include <filesystem>
#include <system_error>

std::optional<QString> RenameInOneStep(const QString& from, const QString& to) {
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(from.toStdU16String()),
                            std::filesystem::path(to.toStdU16String()), error);
    if (error)
        return QString::fromLocal8Bit(error.message().c_str());
    return std::nullopt;
}
