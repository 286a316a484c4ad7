#include "app/appearance.h"

#include "support/failure.h"
#include "support/paths.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>

QColor FaceColor() {
    return QApplication::palette().color(QPalette::Button);
}

void PaintBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(widget->backgroundRole(), color);
    // A background forced on the desktop's palette takes its text colour along: a dark desktop
    // would otherwise draw its light text, titles and option labels on the white of the design.
    const bool light = color.lightness() > 127;
    const QColor text = light ? Qt::black : Qt::white;
    palette.setColor(QPalette::Active, QPalette::WindowText, text);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, text);
    palette.setColor(QPalette::Disabled, QPalette::WindowText,
                     light ? QColor(120, 120, 120) : QColor(160, 160, 160));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void ApplyFaceColors(QWidget* window) {
    PaintBackground(window, FaceColor());
    const QList<QWidget*> children = window->findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) ||
            qobject_cast<QGroupBox*>(child) || qobject_cast<QLabel*>(child))
            PaintBackground(child, FaceColor());
    }
}

void ApplySkin(QWidget* window) {
    QFile skin(ProgramFolder() + kSkinFile);
    if (!skin.exists())
        return;
    ApplyFaceColors(window);
    if (!skin.open(QIODevice::ReadOnly | QIODevice::Text))
        throw Failure(skin.errorString());
    window->setStyleSheet(QString::fromUtf8(skin.readAll()));
}

PointerRules::PointerRules(QWidget* window, QCursor hand)
    : QObject(window), window_(window), hand_(std::move(hand)) {}

void PointerRules::watchButton(QWidget* button) {
    button->setMouseTracking(true);
    button->installEventFilter(this);
    button->setProperty("tintorelPointer", QStringLiteral("hand"));
}

void PointerRules::watchSurface(QWidget* surface) {
    surface->setMouseTracking(true);
    surface->installEventFilter(this);
}

bool PointerRules::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseMove || window_->cursor().shape() == Qt::WaitCursor)
        return false;
    // A move that a child control passed up (an option button, a disabled control) happened over
    // that child, not over this surface: the child's own rule, or none, applies.
    auto* widget = static_cast<QWidget*>(watched);
    const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
    if (widget->childAt(at))
        return false;
    const bool overButton =
        watched->property("tintorelPointer").toString() == QLatin1String("hand");
    window_->setCursor(overButton ? hand_ : QCursor(Qt::ArrowCursor));
    return false;
}
