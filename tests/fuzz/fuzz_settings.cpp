// libFuzzer target: arbitrary bytes as the content of the settings file. Besides crashes, hangs
// and sanitizer reports it checks what the loader promises: a rejected file changes nothing,
// and whatever loads is saved to a text that loads to the same settings.
#include "core/Cipher.h"
#include "core/CodePage.h"
#include "core/Settings.h"
#include "core/SettingsFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    Settings settings;
    const QString defaults = BuildSettingsText(settings);
    const LoadResult result = LoadSettingsBytes(bytes, settings);

    if (result != LoadResult::Loaded) {
        Require(result == (bytes.isEmpty() ? LoadResult::FirstRun : LoadResult::Damaged),
                "result of a file that does not load");
        Require(BuildSettingsText(settings) == defaults && settings.Users.size() == 10,
                "a rejected file left the settings alone");
        return 0;
    }

    Require(bytes.size() >= 2 && bytes.size() <= MaxCipherLength, "length of a loaded file");
    Require(settings.LastUser >= -1 && settings.LastUser <= settings.UpperBound(),
            "LastUser within the table");
    for (int i = 0; i <= settings.LastUser; ++i) {
        const UserRecord& u = settings.Users[i];
        Require(u.Id != 0, "an identity for each user");
    }

    // What was loaded saves and loads again unchanged.
    const QString text = BuildSettingsText(settings);
    Settings again;
    Require(ParseSettingsText(text, again), "the saved text loads");
    Require(BuildSettingsText(again) == text, "the saved text loads to the same settings");

    const QByteArray plain = ToCodePage(text);
    if (plain.size() <= MaxPlainLength) {
        const QByteArray cipher = EncodeText(plain, quint8(bytes[0]));
        Settings fromFile;
        Require(LoadSettingsBytes(cipher, fromFile) == LoadResult::Loaded &&
                    BuildSettingsText(fromFile) == text,
                "the saved file loads to the same settings");
    }
    return 0;
}
