// The settings store as the window's start-up reads it, in a GUI application as the window is
// one: whatever bytes Varnholt.conf holds, every remembered value is read and the two indexes are
// converted; nothing comes out but a value or a Failure.
#include "fuzz/fuzzentry.h"
#include "support/failure.h"
#include "support/settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

QTemporaryDir& configFolder() {
    static QTemporaryDir folder;
    return folder;
}

// The store is parsed again only when its size or time stamp changed: each input gets a time
// stamp of its own.
void stampAnew(const QByteArray& path) {
    static time_t seconds = 1'000'000'000;
    const timespec times[2] = {{++seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, path.constData(), times, 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startFuzzApplication(true);
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(configFolder().path()).constData(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = configFolder().filePath(QStringLiteral("Varnholt.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        fuzzPropertyFailed("the store cannot be written");
    file.close();
    stampAnew(QFile::encodeName(path));
    for (const QString& key : {SettingKey::OutputFolder, SettingKey::LastOutputPickerFolder,
                               SettingKey::Extension, SettingKey::LastScanFolder}) {
        if (HasSetting(key))
            GetSetting(key);
    }
    for (const QString& key : {SettingKey::Placement, SettingKey::SaveOption}) {
        try {
            SettingAsIndex(key, 0);
        } catch (const Failure&) {
        }
    }
    return 0;
}
