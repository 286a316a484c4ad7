#include "tests/testkit.h"

#include <QFile>
#include <QProcess>

#include <QImageWriter>
#include <QTest>

void ScriptedPrompter::showMessage(const QString& text, const QString& title, Icon icon) {
    shown.append({QStringLiteral("message"), text, title, icon, {}});
    if (auto hook = std::exchange(whileNextBoxShows, {}))
        hook();
}

void ScriptedPrompter::showDetails(const QString& text, const QString& title, Icon icon,
                                   const QString& details) {
    shown.append({QStringLiteral("message"), text, title, icon, details});
    if (auto hook = std::exchange(whileNextBoxShows, {}))
        hook();
}

bool ScriptedPrompter::askYesNo(const QString& text, const QString& title) {
    shown.append({QStringLiteral("question"), text, title, Icon::None, {}});
    return yesNoAnswers.isEmpty() ? false : yesNoAnswers.dequeue();
}

Prompter::ExistingAnswer ScriptedPrompter::askExisting(const QString& text, const QString& title) {
    shown.append({QStringLiteral("existing"), text, title, Icon::None, {}});
    return existingAnswers.isEmpty() ? ExistingAnswer::KeepBoth : existingAnswers.dequeue();
}

std::optional<QString> ScriptedPrompter::askText(const QString& title, const QString& label,
                                                 const QString& initialText) {
    shown.append({QStringLiteral("text"), label, title, Icon::None, {}});
    textInitials.append(initialText);
    return textAnswers.isEmpty() ? std::nullopt : textAnswers.dequeue();
}

QStringList ScriptedPrompter::chooseOpenFiles(const QString& title, const QString& filter,
                                              const QString& initialPath, bool multiple) {
    Q_UNUSED(initialPath);
    shown.append({QStringLiteral("files"), QString(), title, Icon::None, {}});
    filters.append(filter);
    multipleFlags.append(multiple);
    return fileAnswers.isEmpty() ? QStringList() : fileAnswers.dequeue();
}

QString ScriptedPrompter::chooseFolder(const QString& prompt, const QString& initialFolder) {
    shown.append({QStringLiteral("folder"), prompt, QString(), Icon::None, {}});
    folderInitials.append(initialFolder);
    return folderAnswers.isEmpty() ? QString() : folderAnswers.dequeue();
}

std::optional<BgrColor> ScriptedPrompter::chooseColor(BgrColor initial) {
    Q_UNUSED(initial);
    shown.append({QStringLiteral("color"), QString(), QString(), Icon::None, {}});
    return colorAnswers.isEmpty() ? std::nullopt : colorAnswers.dequeue();
}

QStringList ScriptedPrompter::messages() const {
    QStringList texts;
    for (const Shown& s : shown)
        if (s.kind == QLatin1String("message"))
            texts.append(s.text);
    return texts;
}

int ScriptedPrompter::count(const QString& kind) const {
    int n = 0;
    for (const Shown& s : shown)
        n += s.kind == kind ? 1 : 0;
    return n;
}

void ScriptedPrompter::clear() {
    shown.clear();
    textInitials.clear();
    folderInitials.clear();
    filters.clear();
    multipleFlags.clear();
}

QImage SolidImage(int width, int height, QRgb color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

void WriteImage(const QImage& image, const QString& path, const char* format) {
    QImageWriter writer(path, format);
    if (!writer.write(image))
        QFAIL(qPrintable(QStringLiteral("cannot write %1: %2").arg(path, writer.errorString())));
}

ProcessResult RunProcess(const QString& program, const QStringList& arguments,
                         const QByteArray& input, int timeoutMs) {
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code, QString::fromUtf8(process.readAllStandardError()),
            QString::fromUtf8(process.readAllStandardOutput())};
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
