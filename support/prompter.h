#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include "support/color.h"

// Every message box and dialog of the program goes through this interface. The window supplies
// real boxes; tests script the answers and read what was shown, so nothing ever blocks on a modal
// box that no one can close.
// The prompt of every folder picker of the program.
inline const QString kPickFolderPrompt = QStringLiteral("Please select folder:");

class Prompter {
public:
    enum class Icon { None, Warning };

    virtual ~Prompter() = default;

    // A box with an OK button only.
    virtual void showMessage(const QString& text, const QString& title, Icon icon) = 0;
    // A box with an OK button only and a details area the user may open; the details are the
    // long part (a list of failures), the text the short one.
    virtual void showDetails(const QString& text, const QString& title, Icon icon,
                             const QString& details) = 0;
    // A box with Yes and No buttons and no icon; true for Yes.
    virtual bool askYesNo(const QString& text, const QString& title) = 0;
    // What becomes of files in the output folder that this program did not write, where copies
    // would go: replaced, their pictures skipped, or both kept (the copies take numbered names).
    enum class ExistingAnswer { Replace, Skip, KeepBoth };
    // A box with those three choices for all such files; Escape keeps both.
    virtual ExistingAnswer askExisting(const QString& text, const QString& title) = 0;
    // A one-line input prompt; nothing when the user cancels.
    virtual std::optional<QString> askText(const QString& title, const QString& label,
                                           const QString& initialText) = 0;
    // An open dialog for one or several existing or typed names; empty when cancelled.
    virtual QStringList chooseOpenFiles(const QString& title, const QString& filter,
                                        const QString& initialPath, bool multiple) = 0;
    // A folder picker starting at initialFolder; the empty text when cancelled.
    virtual QString chooseFolder(const QString& prompt, const QString& initialFolder) = 0;
    // A colour dialog; nothing when the user cancels.
    virtual std::optional<BgrColor> chooseColor(BgrColor initial) = 0;
};
