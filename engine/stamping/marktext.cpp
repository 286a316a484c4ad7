#include "engine/stamping/marktext.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <array>
#include <ctime>

namespace {
struct Variable {
    QString name;
    QString format;
    bool hasFormat = false;
    QString fallback;
    bool hasFallback = false;
};

const QStringList kNames = {
    QStringLiteral("name"),      QStringLiteral("ext"),      QStringLiteral("n"),
    QStringLiteral("date"),      QStringLiteral("year"),     QStringLiteral("artist"),
    QStringLiteral("copyright"), QStringLiteral("camera"),   QStringLiteral("lens"),
    QStringLiteral("iso"),       QStringLiteral("aperture"), QStringLiteral("exposure"),
    QStringLiteral("focal"),     QStringLiteral("width"),    QStringLiteral("height"),
};

const QString kUsualDate = QStringLiteral("%Y-%m-%d");

// "name:format|fallback": the fallback runs to the closing brace, so it may hold a colon.
Variable Parse(const QString& inside) {
    Variable variable;
    QString head = inside;
    if (const qsizetype bar = inside.indexOf(QLatin1Char('|')); bar >= 0) {
        variable.fallback = inside.mid(bar + 1);
        variable.hasFallback = true;
        head.truncate(bar);
    }
    if (const qsizetype colon = head.indexOf(QLatin1Char(':')); colon >= 0) {
        variable.format = head.mid(colon + 1);
        variable.hasFormat = true;
        head.truncate(colon);
    }
    variable.name = head.trimmed();
    return variable;
}

QString VariableRefusal(const Variable& variable, const QString& written) {
    if (!kNames.contains(variable.name))
        return QStringLiteral("unknown variable %1 in the text (known: %2)")
            .arg(written, kNames.join(QStringLiteral(", ")));
    static const QRegularExpression width(QStringLiteral("^[0-9]{1,2}$"));
    if (variable.name == QLatin1String("n") && variable.hasFormat &&
        !width.match(variable.format).hasMatch())
        return QStringLiteral("%1 takes a width such as {n:04}").arg(written);
    if (variable.hasFormat && variable.name != QLatin1String("n") &&
        variable.name != QLatin1String("date"))
        return QStringLiteral("the variable %1 takes no format").arg(written);
    if (variable.name == QLatin1String("date") && variable.hasFormat && variable.format.isEmpty())
        return QStringLiteral("%1 needs a format after the colon, such as {date:%Y-%m}")
            .arg(written);
    return {};
}

QString Strftime(const QDateTime& when, const QString& format) {
    if (!when.isValid())
        return {};
    const QDate date = when.date();
    const QTime time = when.time();
    std::tm parts{};
    parts.tm_year = date.year() - 1900;
    parts.tm_mon = date.month() - 1;
    parts.tm_mday = date.day();
    parts.tm_hour = time.hour();
    parts.tm_min = time.minute();
    parts.tm_sec = time.second();
    parts.tm_wday = date.dayOfWeek() % 7;
    parts.tm_yday = date.dayOfYear() - 1;
    parts.tm_isdst = -1;
    std::array<char, 512> buffer{};
    const size_t length =
        std::strftime(buffer.data(), buffer.size(), format.toUtf8().constData(), &parts);
    return QString::fromUtf8(buffer.data(), qsizetype(length));
}

QString ValueOf(const Variable& variable, const MarkTextValues& values) {
    const QString& name = variable.name;
    const PictureFacts& facts = values.facts;
    const QDateTime date = facts.taken.isValid() ? facts.taken : values.modified;
    if (name == QLatin1String("name"))
        return QFileInfo(values.path).completeBaseName();
    if (name == QLatin1String("ext"))
        return QFileInfo(values.path).suffix();
    if (name == QLatin1String("n"))
        return QStringLiteral("%1").arg(values.place, variable.format.toInt(), 10,
                                        QLatin1Char(variable.format.startsWith('0') ? '0' : ' '));
    if (name == QLatin1String("date"))
        return Strftime(date, variable.hasFormat ? variable.format : kUsualDate);
    if (name == QLatin1String("year"))
        return date.isValid() ? QString::number(date.date().year()) : QString();
    if (name == QLatin1String("width"))
        return QString::number(values.upright.width());
    if (name == QLatin1String("height"))
        return QString::number(values.upright.height());
    const QString PictureFacts::*const fields[] = {
        &PictureFacts::artist,   &PictureFacts::copyright, &PictureFacts::camera,
        &PictureFacts::lens,     &PictureFacts::iso,       &PictureFacts::aperture,
        &PictureFacts::exposure, &PictureFacts::focal};
    return facts.*fields[kNames.indexOf(name) - kNames.indexOf(QStringLiteral("artist"))];
}

// Walks the pattern: literal text and doubled braces go to `literal`, each variable to `found`
// with its text as written. Returns the refusal of the first fault, or the empty text.
template <typename Literal, typename Found>
QString Walk(const QString& pattern, const Literal& literal, const Found& found) {
    QString fault;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        const bool doubled = i + 1 < pattern.size() && pattern[i + 1] == c;
        if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && doubled) {
            literal(QString(c));
            ++i;
        } else if (c == QLatin1Char('}')) {
            literal(QString(c));
            if (fault.isEmpty())
                fault = QStringLiteral("a \"}\" in the text closes no variable (write }} for a "
                                       "brace)");
        } else if (c == QLatin1Char('{')) {
            const qsizetype end = pattern.indexOf(QLatin1Char('}'), i + 1);
            const qsizetype nested = pattern.indexOf(QLatin1Char('{'), i + 1);
            if (end < 0 || (nested >= 0 && nested < end)) {
                literal(pattern.mid(i));
                return !fault.isEmpty()
                           ? fault
                           : QStringLiteral(
                                 "the variable %1 in the text is not closed (write {{ for a "
                                 "brace)")
                                 .arg(pattern.mid(i, (nested >= 0 ? nested : pattern.size()) - i));
            }
            found(Parse(pattern.mid(i + 1, end - i - 1)), pattern.mid(i, end - i + 1));
            i = end;
        } else {
            literal(QString(c));
        }
    }
    return fault;
}
} // namespace

QString MarkTextRefusal(const QString& pattern) {
    QString refusal;
    const QString fault = Walk(
        pattern, [](const QString&) {},
        [&](const Variable& variable, const QString& written) {
            if (refusal.isEmpty())
                refusal = VariableRefusal(variable, written);
        });
    return refusal.isEmpty() ? fault : refusal;
}

FilledMarkText FillMarkText(const QString& pattern, const MarkTextValues& values) {
    FilledMarkText filled;
    Walk(
        pattern, [&](const QString& text) { filled.text += text; },
        [&](const Variable& variable, const QString& written) {
            if (!VariableRefusal(variable, written).isEmpty()) {
                filled.text += written;
                return;
            }
            const QString value = ValueOf(variable, values);
            if (!value.isEmpty())
                filled.text += value;
            else if (variable.hasFallback)
                filled.text += variable.fallback;
            else
                filled.empty << written;
        });
    return filled;
}

bool MarkTextNeedsPicture(const QString& pattern) {
    bool needs = false;
    Walk(
        pattern, [](const QString&) {},
        [&](const Variable& variable, const QString&) {
            needs = needs ||
                    (variable.name != QLatin1String("name") &&
                     variable.name != QLatin1String("ext") && variable.name != QLatin1String("n"));
        });
    return needs;
}

QString EmptyVariablesNote(const QStringList& empty) {
    return QStringLiteral("the mark's %1 %2 empty for this picture")
        .arg(empty.join(QStringLiteral(", ")),
             empty.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"));
}
