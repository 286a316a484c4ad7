#include "cli/clipreset.h"

#include "cli/clioptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
// The options a mark section holds, and those of the output section. A name here that the
// option table lacks is refused like any unknown option.
const QStringList kMarkOptions = {
    QStringLiteral("watermark"),
    QStringLiteral("text"),
    QStringLiteral("font"),
    QStringLiteral("text-color"),
    QStringLiteral("text-size"),
    QStringLiteral("text-outline"),
    QStringLiteral("text-shadow"),
    QStringLiteral("placement"),
    QStringLiteral("transparent-color"),
    QStringLiteral("key-tolerance"),
    QStringLiteral("scale"),
    QStringLiteral("scale-of"),
    QStringLiteral("margin"),
    QStringLiteral("opacity"),
    QStringLiteral("rotate"),
    QStringLiteral("tile"),
    QStringLiteral("tile-gap"),
    QStringLiteral("tile-stagger"),
};
const QStringList kOutputOptions = {
    QStringLiteral("format"),         QStringLiteral("quality"), QStringLiteral("jpeg"),
    QStringLiteral("strip-metadata"), QStringLiteral("resize"),  QStringLiteral("enlarge"),
    QStringLiteral("name"),
};

constexpr qint64 kMostPresetBytes = 1 << 20;

const QString kOutputSection = QStringLiteral("Output");
const QString kMarkSection = QStringLiteral("Mark");

// A value kept whole between double quotes, where a backslash keeps the next character: the
// way to keep spaces at either end, or a leading quote.
QString Unquoted(const QString& value) {
    if (value.size() < 2 || !value.startsWith(QLatin1Char('"')) ||
        !value.endsWith(QLatin1Char('"')))
        return value;
    QString plain;
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 2 < value.size())
            ++i;
        plain += value[i];
    }
    return plain;
}

QString Quoted(const QString& value) {
    if (value == value.trimmed() && !value.startsWith(QLatin1Char('"')))
        return value;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// "Mark 2" gives 2; "Output" 0; anything else nothing.
std::optional<int> SectionIndex(const QString& name) {
    if (name.compare(kOutputSection, Qt::CaseInsensitive) == 0)
        return 0;
    const QStringList words = name.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() != 2 || words[0].compare(kMarkSection, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    bool isNumber = false;
    const int index = words[1].toInt(&isNumber);
    return isNumber && index >= 1 && index <= 64 ? std::optional(index) : std::nullopt;
}

// An option without a value is written "tile = true" and read from any of the usual words.
std::optional<bool> FlagValue(const QString& text) {
    const QString word = text.toLower();
    for (const char* yes : {"true", "yes", "on", "1"})
        if (word == QLatin1String(yes))
            return true;
    for (const char* no : {"false", "no", "off", "0"})
        if (word == QLatin1String(no))
            return false;
    return std::nullopt;
}
} // namespace

PresetPart PresetPartOf(const QString& option) {
    if (kMarkOptions.contains(option))
        return PresetPart::Mark;
    return kOutputOptions.contains(option) ? PresetPart::Output : PresetPart::None;
}

QString PresetFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Varnholt/presets");
}

QString PresetPath(const QString& nameOrPath) {
    if (nameOrPath.contains(QLatin1Char('/')) ||
        nameOrPath.endsWith(QLatin1String(".ini"), Qt::CaseInsensitive))
        return nameOrPath;
    return PresetFolder() + QLatin1Char('/') + nameOrPath + QStringLiteral(".ini");
}

std::optional<Preset> ReadPreset(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the preset %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // A device or pipe could give bytes without end; a preset is a short text file.
    if (!QFileInfo(path).isFile() || file.size() > kMostPresetBytes) {
        error = QStringLiteral("the preset %1 is not a text file of at most 1 MB").arg(path);
        return std::nullopt;
    }
    Preset preset;
    QList<PresetOption>* section = nullptr;
    PresetPart part = PresetPart::None;
    const QString folder = QFileInfo(path).absolutePath();
    int lineNumber = 0;
    const auto refuse = [&](const QString& why) {
        error = QStringLiteral("the preset %1, line %2: %3").arg(path).arg(lineNumber).arg(why);
        return std::nullopt;
    };
    for (const QByteArray& bytes : file.readAll().split('\n')) {
        ++lineNumber;
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            const QString name = line.mid(1, line.size() - 2).trimmed();
            const std::optional<int> index = SectionIndex(name);
            if (!index)
                return refuse(QStringLiteral("unknown section [%1] (Output, or Mark 1, Mark 2 ...)")
                                  .arg(name));
            part = *index == 0 ? PresetPart::Output : PresetPart::Mark;
            if (*index == 0) {
                section = &preset.output;
            } else {
                if (preset.marks.size() < *index)
                    preset.marks.resize(*index);
                section = &preset.marks[*index - 1];
            }
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return refuse(
                QStringLiteral("\"%1\" is neither a [section] nor name = value").arg(line));
        const QString name = line.left(equals).trimmed();
        QString value = Unquoted(line.mid(equals + 1).trimmed());
        if (!section)
            return refuse(QStringLiteral("%1 stands before any [section]").arg(name));
        const CliOption* option = FindCliOption(name);
        if (!option || PresetPartOf(name) == PresetPart::None)
            return refuse(QStringLiteral("a preset holds no option %1").arg(name));
        if (PresetPartOf(name) != part)
            return refuse(
                QStringLiteral("%1 belongs in [%2]")
                    .arg(name, part == PresetPart::Mark ? kOutputSection : kMarkSection + " 1"));
        if (!option->value) {
            const std::optional<bool> on = FlagValue(value);
            if (!on)
                return refuse(
                    QStringLiteral("%1 takes true or false, not \"%2\"").arg(name, value));
            if (!*on)
                continue;
            value.clear();
        }
        // A picture or font file named relative to the preset lies beside it, wherever the
        // preset is used from.
        if ((name == QLatin1String("watermark") || name == QLatin1String("font")) &&
            QFileInfo(value).isRelative() && QFileInfo::exists(folder + QLatin1Char('/') + value))
            value = folder + QLatin1Char('/') + value;
        section->append({name, value});
    }
    // A gap in the numbering ([Mark 1] and [Mark 3]) leaves no empty mark between; a preset
    // without [Mark 1] leaves the first mark to the command line.
    const bool firstGiven = !preset.marks.isEmpty() && !preset.marks[0].isEmpty();
    preset.marks.removeIf([](const QList<PresetOption>& mark) { return mark.isEmpty(); });
    if (!firstGiven && !preset.marks.isEmpty())
        preset.marks.prepend({});
    return preset;
}

QByteArray PresetText(const Preset& preset) {
    QString text =
        QStringLiteral("# A Tintorel preset: tintorel-cli --preset FILE, or the window's presets.\n"
                       "# Each line is a command-line option without its \"--\": name = value.\n");
    const auto writeSection = [&text](const QString& title, const QList<PresetOption>& options) {
        text += QStringLiteral("\n[%1]\n").arg(title);
        for (const PresetOption& option : options)
            text += option.name + QStringLiteral(" = ") +
                    (option.value.isEmpty() && FindCliOption(option.name) &&
                             !FindCliOption(option.name)->value
                         ? QStringLiteral("true")
                         : Quoted(option.value)) +
                    QLatin1Char('\n');
    };
    if (!preset.output.isEmpty())
        writeSection(kOutputSection, preset.output);
    for (qsizetype i = 0; i < preset.marks.size(); ++i)
        writeSection(kMarkSection + QLatin1Char(' ') + QString::number(i + 1), preset.marks[i]);
    return text.toUtf8();
}

QString WritePreset(const Preset& preset, const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot create the folder %1").arg(folder);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(PresetText(preset)) < 0 || !file.commit())
        return QStringLiteral("cannot write the preset %1: %2").arg(path, file.errorString());
    return {};
}
