// The settings store: the remembered choices in Varnholt.conf, group [Tintorel].
#include "support/settings.h"

#include "support/failure.h"

#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <limits>

namespace {
const QString kOrganisation = QStringLiteral("Varnholt");
const QString kGroup = QStringLiteral("Tintorel");

QString Key(const QString& name) {
    return kGroup + QLatin1Char('/') + name;
}

// IniFormat with a user scope would name the file Varnholt.ini; the store is Varnholt.conf in the
// configuration folder ($XDG_CONFIG_HOME), so the path is given whole. It is opened afresh for
// every access: two copies of the program share the file, and the last write wins.
QSettings Store() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1Char('/') + kOrganisation + QStringLiteral(".conf"),
                     QSettings::IniFormat);
}
} // namespace

QString GetSetting(const QString& name, const QString& defaultValue) {
    const QVariant value = Store().value(Key(name));
    return value.isValid() ? value.toString() : defaultValue;
}

bool HasSetting(const QString& name) {
    return Store().contains(Key(name));
}

void SaveSetting(const QString& name, const QString& value) {
    QSettings store = Store();
    store.setValue(Key(name), value);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw Failure(SystemErrorText(EACCES));
}

int SettingAsIndex(const QString& name, int defaultValue) {
    const QString text = GetSetting(name, QString::number(defaultValue));
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < std::numeric_limits<qint16>::min() ||
        value > std::numeric_limits<qint16>::max())
        throw Failure(QStringLiteral("Type mismatch"));
    return value;
}

bool SettingIsTrue(const QString& name) {
    const QString value = GetSetting(name).trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("yes") ||
           value == QLatin1String("on") || value == QLatin1String("1");
}

int KeyToleranceSetting() {
    bool isNumber = false;
    const int tolerance = GetSetting(SettingKey::KeyTolerance).trimmed().toInt(&isNumber);
    return isNumber && tolerance >= 0 && tolerance <= 255 ? tolerance : 0;
}
