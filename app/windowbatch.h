#pragma once

#include "engine/batch.h"

class Form1;
class Prompter;

// The batch run's view of the main window: the list, the option controls, the progress bar, the
// busy mark, the message boxes and the two drawing surfaces.
class WindowBatch : public BatchWindow {
public:
    WindowBatch(Form1& form, Prompter& prompter) : form_(form), prompter_(prompter) {}

    int listCount() const override;
    QString listText(int position) const override;
    WatermarkJob readOptions() const override;
    void setProgress(double value, const QString& text) override;
    void setBusy(bool busy) override;
    void redraw() override;
    void yield() override;
    void showMessage(const QString& text) override;
    void reportError(int step, const QString& description) override;
    bool imagingStartFailed() const override;
    Surface& watermarkSurface() override;
    Surface& composingSurface() override;
    void composed(int position) override;

private:
    Form1& form_;
    Prompter& prompter_;
};
