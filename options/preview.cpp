#include "options/preview.h"

#include "support/geometry.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>

namespace {
// The design sizes, in twips.
constexpr int kDesignWidth = 3405, kDesignHeight = 2715;
constexpr int kAreaWidth = 1785, kAreaHeight = 1560;
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
    const QSize room = pictureRoom();
    QSize shown = surface().size();
    if (!room.isEmpty() && (shown.width() > room.width() || shown.height() > room.height()))
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

QSize Form2::pictureRoom() const {
    const QRect area = availableArea();
    return area.isEmpty() ? QSize() : (area.size() - frameSize()).expandedTo({1, 1});
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
