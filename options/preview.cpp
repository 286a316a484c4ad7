#include "options/preview.h"

#include "engine/compose.h"
#include "engine/job.h"
#include "support/errorreport.h"
#include "support/geometry.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QPainter>
#include <QScreen>

namespace {
// The window frame and title bar around the composed image, in pixels.
constexpr int kFrameWidth = 4;
constexpr int kFrameHeight = 26;
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

void PreviewArea::refresh() {
    resize(surface_.size());
    update();
}

void PreviewArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, surface_.image());
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
    pPreview_->refresh();
    // The window takes the image's size plus the margins that the frame and title bar once took.
    // Where the window system draws its own frame outside, the margins show in the face colour
    // to the right of and below the image, which always sits at the top-left corner.
    setFixedSize(pPreview_->width() + kFrameWidth, pPreview_->height() + kFrameHeight);
}

void Form2::showPreview() {
    if (!shownBefore_)
        centreOnScreen();
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    shownBefore_ = true;
}

void Form2::centreOnScreen() {
    // The screen of the window that asked for the preview, or the primary one.
    const QWidget* active = QApplication::activeWindow();
    const QScreen* screen = active ? active->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

bool Form2::event(QEvent* event) {
    // The pointer over the preview is the ordinary arrow unless the window shows the busy mark.
    // Moves over the picture area reach the window too: the area leaves them unhandled.
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
        if (cursor().shape() != Qt::WaitCursor)
            setCursor(Qt::ArrowCursor);
    }
    return QWidget::event(event);
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
    // Every preview starts the watermark at (0, 0): with no placement selected it stays there.
    QPoint position(0, 0);
    Form2* window = nullptr;
    guard.step(FindWindow, [&] { window = form2(); });
    if (!window)
        return;
    ComposeWatermark(imagePath, options.WatermarkPath, options.Placement, options.TransparentColor,
                     position, watermarkSurface, window->surface(), guard, Compose);
    guard.step(FitWindow, [&] { window->fitToImage(); });
    guard.step(ShowWindow, [&] { window->showPreview(); });
}
