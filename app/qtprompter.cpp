#include "app/qtprompter.h"

#include "support/paths.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace {
// The program's texts separate lines with carriage returns; the desktop's boxes break lines at
// line feeds.
QString ForDisplay(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Qt's own file dialog as the prompts use it.
class PromptFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        // Return on a typed name accepts while the name's completion list is still open, and the
        // list's hold on the pointer then swallowed the next click in the main window.
        if (QWidget* completions = QApplication::activePopupWidget())
            completions->close();
        if (fileMode() == ExistingFiles && typedNamesMissing())
            QDialog::accept();
        else
            QFileDialog::accept();
    }

private:
    // The open dialog asks neither that a typed file exist nor that its folder does: a typed name
    // is taken as typed, as the list takes whatever the user names. Qt's dialog for several
    // files refuses such a name with "File not found"; a typed folder still opens in the dialog,
    // and names that all exist go Qt's own way.
    bool typedNamesMissing() const {
        const QStringList names = selectedFiles();
        const bool anyFolder = std::any_of(names.begin(), names.end(),
                                           [](const QString& name) { return IsFolder(name); });
        const bool allExist = std::all_of(names.begin(), names.end(),
                                          [](const QString& name) { return PathExists(name); });
        return !names.isEmpty() && !anyFolder && !allExist;
    }
};
} // namespace

void QtPrompter::showMessage(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                    ForDisplay(text), QMessageBox::Ok, parent_);
    // Texts are shown as written: a file named "<b>BIG<i>x.jpg" keeps its name, never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtPrompter::showDetails(const QString& text, const QString& title, Icon icon,
                             const QString& details) {
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                    ForDisplay(text), QMessageBox::Ok, parent_);
    box.setTextFormat(Qt::PlainText);
    box.setDetailedText(ForDisplay(details));
    // Each entry names a path and a location: a narrow area would break every line of them.
    box.setStyleSheet(QStringLiteral("QTextEdit { min-width: 34em; min-height: 12em; }"));
    box.setAccessibleName(title);
    box.setAccessibleDescription(ForDisplay(text));
    // OK keeps the focus, so Return closes the box and Tab reaches "Show Details...".
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

bool QtPrompter::askYesNo(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, ForDisplay(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

Prompter::ExistingAnswer QtPrompter::askExisting(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::Question, title, ForDisplay(text), QMessageBox::NoButton, parent_);
    box.setTextFormat(Qt::PlainText);
    box.setAccessibleName(title);
    QPushButton* replace =
        box.addButton(QStringLiteral("&Replace All"), QMessageBox::DestructiveRole);
    QPushButton* skip = box.addButton(QStringLiteral("&Skip All"), QMessageBox::RejectRole);
    QPushButton* keep = box.addButton(QStringLiteral("&Keep Both"), QMessageBox::AcceptRole);
    replace->setAccessibleName(QStringLiteral("Replace all those files"));
    skip->setAccessibleName(QStringLiteral("Skip all those pictures"));
    keep->setAccessibleName(QStringLiteral("Keep both, the copies numbered"));
    // Keeping both loses nothing: it is what Return and Escape choose.
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    if (box.clickedButton() == replace)
        return ExistingAnswer::Replace;
    if (box.clickedButton() == skip)
        return ExistingAnswer::Skip;
    return ExistingAnswer::KeepBoth;
}

std::optional<QString> QtPrompter::askText(const QString& title, const QString& label,
                                           const QString& initialText) {
    QInputDialog dialog(parent_);
    dialog.setWindowTitle(title);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(ForDisplay(label));
    dialog.setTextValue(initialText);
    for (QLabel* text : dialog.findChildren<QLabel*>())
        text->setTextFormat(Qt::PlainText);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}

QStringList QtPrompter::chooseOpenFiles(const QString& title, const QString& filter,
                                        const QString& initialPath, bool multiple) {
    PromptFileDialog dialog(parent_, title, initialPath, filter);
    // Qt's own dialog on every desktop: the desktops' open dialogs (GTK, portals) refuse a name
    // that does not exist.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

QString QtPrompter::chooseFolder(const QString& prompt, const QString& initialFolder) {
    // What QFileDialog::getExistingDirectory does, with the prompts' own dialog.
    PromptFileDialog dialog(parent_, prompt, initialFolder);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

std::optional<BgrColor> QtPrompter::chooseColor(BgrColor initial) {
    const QColor chosen = QColorDialog::getColor(BgrToQColor(initial), parent_);
    return chosen.isValid() ? std::optional(QColorToBgr(chosen)) : std::nullopt;
}
