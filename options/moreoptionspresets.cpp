// The Presets page of "More Options": the files tintorel-cli --preset reads, listed, used, saved
// and deleted.
#include "options/moreoptions.h"

#include "options/optionspanel.h"
#include "support/prompter.h"

#include <QFile>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const QString kPresetNamePrompt = QStringLiteral("Name of the preset:");
const QString kReplaceQuestion =
    QStringLiteral("A preset named \"%1\" exists already. Replace it?");
const QString kDeleteQuestion = QStringLiteral("Delete the preset \"%1\"?");
const QString kBadPresetName =
    QStringLiteral("A preset's name cannot hold \"/\" or end in \".ini\", and cannot be empty.");

} // namespace

QWidget* MoreOptionsDialog::buildPresetsTab() {
    auto* page = new QWidget;
    presets = Named(new QListWidget, QStringLiteral("Presets"));
    usePreset = Named(new QPushButton(QStringLiteral("&Use")), QStringLiteral("Use the preset"));
    saveAs = Named(new QPushButton(QStringLiteral("Save &As...")),
                   QStringLiteral("Save the options as a new preset"));
    save = Named(new QPushButton(QStringLiteral("Sa&ve")),
                 QStringLiteral("Save the options in the preset in use"));
    remove = Named(new QPushButton(QStringLiteral("&Delete")),
                   QStringLiteral("Delete the selected preset"));
    auto* buttons = new QVBoxLayout;
    for (QPushButton* button : {usePreset, saveAs, save, remove})
        buttons->addWidget(button);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->addWidget(presets, 1);
    layout->addLayout(buttons);
    fillPresets();
    return page;
}

void MoreOptionsDialog::fillPresets() {
    presets->clear();
    presets->addItems(PresetNames());
}

void MoreOptionsDialog::usePresetClick() {
    const QListWidgetItem* item = presets->currentItem();
    if (!item)
        return;
    QString error;
    const std::optional<WatermarkJob> job = JobOfPreset(PresetPath(item->text()), error);
    if (!job) {
        prompter_.showMessage(error, windowTitle(), Prompter::Icon::Warning);
        return;
    }
    panel_.usePreset(item->text(), *job);
    showChoices();
}

void MoreOptionsDialog::savePreset(const QString& name) {
    const QString why = WritePreset(PresetOf(panel_.readOptions()), PresetPath(name));
    if (!why.isEmpty()) {
        prompter_.showMessage(why, windowTitle(), Prompter::Icon::Warning);
        return;
    }
    MoreChoices choices = panel_.moreChoices();
    choices.preset = name;
    panel_.setMoreChoices(choices);
    fillPresets();
    showChoices();
}

void MoreOptionsDialog::saveAsClick() {
    const std::optional<QString> name =
        prompter_.askText(windowTitle(), kPresetNamePrompt, panel_.moreChoices().preset);
    if (!name)
        return;
    const QString trimmed = name->trimmed();
    if (trimmed.isEmpty() || PresetPath(trimmed) == trimmed) {
        prompter_.showMessage(kBadPresetName, windowTitle(), Prompter::Icon::Warning);
        return;
    }
    // Another preset of that name is replaced only when the user says so.
    if (trimmed != panel_.moreChoices().preset && QFile::exists(PresetPath(trimmed)) &&
        !prompter_.askYesNo(kReplaceQuestion.arg(trimmed), windowTitle()))
        return;
    savePreset(trimmed);
}

void MoreOptionsDialog::saveClick() {
    const QString inUse = panel_.moreChoices().preset;
    if (inUse.isEmpty())
        saveAsClick();
    else
        savePreset(inUse);
}

void MoreOptionsDialog::removeClick() {
    const QListWidgetItem* item = presets->currentItem();
    if (!item)
        return;
    const QString name = item->text();
    if (!prompter_.askYesNo(kDeleteQuestion.arg(name), windowTitle()))
        return;
    QFile file(PresetPath(name));
    if (!file.remove()) {
        prompter_.showMessage(file.errorString(), windowTitle(), Prompter::Icon::Warning);
        return;
    }
    if (panel_.moreChoices().preset == name) {
        MoreChoices choices = panel_.moreChoices();
        choices.preset.clear();
        panel_.setMoreChoices(choices);
    }
    fillPresets();
}
