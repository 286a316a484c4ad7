#include "options/preview.h"

#include "engine/run/job.h"
#include "engine/stamping/compose.h"
#include "support/errorreport.h"
#include "support/geometry.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QPainter>
#include <QScreen>

#include <algorithm>

namespace {
// The design sizes, in twips.
constexpr int kDesignWidth = 3405, kDesignHeight = 2715;
constexpr int kAreaWidth = 1785, kAreaHeight = 1560;

// The numbered steps of one preview, as its error report names them.
enum PreviewStep {
    LookUpWatermark = 10,
    FindWindow = 20,
    Compose = 30, // the five compose steps take 30 to 34
    FitWindow = 40,
    ShowWindow = 50,
};

// The lookup that decides whether a preview starts: the path names a file (a folder, a device or
// nothing at all does not). The empty path names nothing.
bool WatermarkFileFound(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

// A reader's text names the file unless it says which one already.
QString NamingFile(const QString& text, const QString& path) {
    return text.contains(path) ? text : path + QStringLiteral(": ") + text;
}
} // namespace

PreviewArea::PreviewArea(QWidget* parent)
    : QWidget(parent), surface_(QSize(TwipsToPixels(kAreaWidth), TwipsToPixels(kAreaHeight))) {
    setObjectName(QStringLiteral("pPreview"));
    setMouseTracking(true);
    QPalette white = palette();
    white.setColor(backgroundRole(), Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    setGeometry(0, 0, surface_.width(), surface_.height());
}

void PreviewArea::refresh(QSize shownSize) {
    resize(shownSize);
    scaled_ =
        shownSize == surface_.size()
            ? QImage()
            : surface_.image().scaled(shownSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    update();
}

void PreviewArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, scaled_.isNull() ? surface_.image() : scaled_);
}

Form2::Form2() : pPreview_(new PreviewArea(this)) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Preview"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setMouseTracking(true);
    setFixedSize(TwipsToPixels(kDesignWidth), TwipsToPixels(kDesignHeight));
}

void Form2::fitToImage() {
    // The window manager draws its frame and title bar outside the window; what it takes is known
    // once the window has been shown, and nothing before.
    fittedFrame_ = frameSize();
    const QRect area = availableArea();
    const QSize room = (area.size() - fittedFrame_).expandedTo({1, 1});
    QSize shown = surface().size();
    if (!area.isEmpty() && (shown.width() > room.width() || shown.height() > room.height()))
        shown = shown.scaled(room, Qt::KeepAspectRatio).expandedTo({1, 1});
    pPreview_->refresh(shown);
    setFixedSize(shown);
    if (isVisible())
        keepOnScreen();
}

void Form2::showPreview() {
    if (!shownBefore_)
        centreOnScreen();
    keepOnScreen();
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    shownBefore_ = true;
    refitToFrame();
}

QSize Form2::frameSize() const {
    return frameGeometry().size() - size();
}

void Form2::refitToFrame() {
    if (isVisible() && frameSize() != fittedFrame_)
        fitToImage();
}

QRect Form2::availableArea() const {
    // Once shown, the window's own screen; before, the screen of the window that asked for the
    // preview, or the primary one.
    const QWidget* active = QApplication::activeWindow();
    const QScreen* screen = shownBefore_ ? this->screen()
                            : active     ? active->screen()
                                         : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void Form2::centreOnScreen() {
    const QRect area = availableArea();
    if (area.isEmpty())
        return;
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void Form2::keepOnScreen() {
    // The whole window, frame included, within the available area; where it cannot fit, its
    // top-left corner is the part kept on the screen.
    const QRect area = availableArea();
    if (area.isEmpty())
        return;
    const QRect window = frameGeometry();
    const QPoint inside(
        std::max(area.left(), std::min(window.left(), area.right() + 1 - window.width())),
        std::max(area.top(), std::min(window.top(), area.bottom() + 1 - window.height())));
    if (inside != window.topLeft())
        move(inside);
}

bool Form2::event(QEvent* event) {
    // The pointer over the preview is the ordinary arrow unless the window shows the busy mark.
    // Moves over the picture area reach the window too: the area leaves them unhandled.
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
        if (cursor().shape() != Qt::WaitCursor)
            setCursor(Qt::ArrowCursor);
    }
    const bool handled = QWidget::event(event);
    // A window manager frames the window a moment after it is shown, and moves it as it does.
    if (event->type() == QEvent::Move)
        refitToFrame();
    return handled;
}

void PreviewWatermark(const QString& imagePath, const WatermarkJob& options,
                      Surface& watermarkSurface, const std::function<Form2*()>& form2,
                      Prompter& prompter) {
    Guard guard(prompter, ErrorLocation::Preview);
    bool found = false;
    // A lookup that fails is reported and counts as finding nothing.
    guard.step(LookUpWatermark, [&] { found = WatermarkFileFound(options.WatermarkPath); });
    if (!found) {
        prompter.showMessage(kInvalidWatermarkPathMessage, ShortTitle(), Prompter::Icon::None);
        return;
    }
    if (imagePath.isEmpty()) {
        prompter.showMessage(kSelectPictureMessage, ShortTitle(), Prompter::Icon::None);
        return;
    }
    // Every preview starts the watermark at (0, 0): with no placement selected it stays there.
    QPoint position(0, 0);
    Form2* window = nullptr;
    guard.step(FindWindow, [&] { window = form2(); });
    if (!window)
        return;
    // A failed step names the file it failed on; a preview that could not be composed opens no
    // window, since it would show something other than the picture.
    Guard composing([&](int step, const QString& text) {
        const QString& file = step == Compose ? options.WatermarkPath : imagePath;
        ReportError(prompter, ErrorLocation::Preview, step, NamingFile(text, file));
    });
    ComposeWatermark(imagePath, options.WatermarkPath, options.Placement, options.TransparentColor,
                     position, watermarkSurface, window->surface(), composing, Compose,
                     options.Style.keyTolerance);
    if (composing.failures() > 0)
        return;
    guard.step(FitWindow, [&] { window->fitToImage(); });
    guard.step(ShowWindow, [&] { window->showPreview(); });
}
