#include "app/qtprompter.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace {
// The program's texts separate lines with carriage returns; the desktop's boxes break lines at
// line feeds.
QString ForDisplay(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
} // namespace

void QtPrompter::showMessage(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                    ForDisplay(text), QMessageBox::Ok, parent_);
    box.exec();
}

bool QtPrompter::askYesNo(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, ForDisplay(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtPrompter::askText(const QString& title, const QString& label,
                                           const QString& initialText) {
    bool ok = false;
    const QString answer = QInputDialog::getText(parent_, title, ForDisplay(label),
                                                 QLineEdit::Normal, initialText, &ok);
    return ok ? std::optional(answer) : std::nullopt;
}

QStringList QtPrompter::chooseOpenFiles(const QString& title, const QString& filter,
                                        const QString& initialPath, bool multiple) {
    QFileDialog dialog(parent_, title, initialPath, filter);
    // A single typed name is taken as it is, whether or not such a file exists.
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

QString QtPrompter::chooseFolder(const QString& prompt, const QString& initialFolder) {
    return QFileDialog::getExistingDirectory(parent_, prompt, initialFolder);
}

std::optional<BgrColor> QtPrompter::chooseColor(BgrColor initial) {
    const QColor chosen = QColorDialog::getColor(BgrToQColor(initial), parent_);
    return chosen.isValid() ? std::optional(QColorToBgr(chosen)) : std::nullopt;
}
