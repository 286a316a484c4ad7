#include "app/windowbatch.h"

#include "app/form1.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QCoreApplication>
#include <QProgressBar>

int WindowBatch::listCount() const {
    return form_.ListView1->count();
}

QString WindowBatch::listText(int position) const {
    return form_.ListView1->textAt(position);
}

WatermarkJob WindowBatch::readOptions() const {
    return form_.options->readOptions();
}

void WindowBatch::setProgress(double value, const QString& text) {
    form_.ProgressBar1->setValue(qRound(value));
    form_.ProgressBar1->setFormat(text);
}

void WindowBatch::setBusy(bool busy) {
    form_.setBusy(busy);
}

void WindowBatch::redraw() {
    form_.repaint();
}

void WindowBatch::yield() {
    QCoreApplication::processEvents();
}

void WindowBatch::showMessage(const QString& text) {
    prompter_.showMessage(text, ShortTitle(), Prompter::Icon::None);
}

void WindowBatch::reportError(int step, const QString& description) {
    ReportError(prompter_, ErrorLocation::StartRun, step, description);
}

bool WindowBatch::imagingStartFailed() const {
    return GdiplusStartFailed();
}

Surface& WindowBatch::watermarkSurface() {
    return form_.watermarkSurface();
}

Surface& WindowBatch::composingSurface() {
    return form_.form2()->surface();
}

void WindowBatch::composed(int) {
    // An open preview shows each image as the run composes it; a hidden one stays hidden.
    if (Form2* preview = form_.existingForm2(); preview && preview->isVisible())
        preview->fitToImage();
}
