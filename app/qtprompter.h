#pragma once

#include "support/prompter.h"

class QWidget;

// The real boxes and dialogs of the desktop, owned by the main window.
class QtPrompter : public Prompter {
public:
    void setParent(QWidget* parent) { parent_ = parent; }

    void showMessage(const QString& text, const QString& title, Icon icon) override;
    void showDetails(const QString& text, const QString& title, Icon icon,
                     const QString& details) override;
    bool askYesNo(const QString& text, const QString& title) override;
    ExistingAnswer askExisting(const QString& text, const QString& title) override;
    std::optional<QString> askText(const QString& title, const QString& label,
                                   const QString& initialText) override;
    QStringList chooseOpenFiles(const QString& title, const QString& filter,
                                const QString& initialPath, bool multiple) override;
    QString chooseFolder(const QString& prompt, const QString& initialFolder) override;
    std::optional<BgrColor> chooseColor(BgrColor initial) override;

private:
    QWidget* parent_ = nullptr;
};
