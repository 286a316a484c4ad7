// The mark's size, turn, margin and the places of its copies on a picture.
#include "engine/stamping/markshape.h"

#include "engine/stamping/marksource.h"
#include "support/failure.h"

#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {
// Far beyond any picture, so that a mark's sizes never overflow.
constexpr double kLargestSide = 1 << 24;

int Side(double value) {
    return int(std::clamp(std::round(value), 1.0, kLargestSide));
}

// The measure of the picture that the scale is a share of, and whether it sizes the mark's width
// (else its height).
std::pair<double, bool> Measure(QSize own, QSize picture, ScaleOf scaleOf) {
    const bool wide = own.width() >= own.height();
    switch (scaleOf) {
    case ScaleOf::Height:
        return {picture.height(), false};
    case ScaleOf::Short:
        return {std::min(picture.width(), picture.height()), wide};
    case ScaleOf::Long:
        return {std::max(picture.width(), picture.height()), wide};
    default:
        return {picture.width(), true};
    }
}

bool QuarterTurn(double turn) {
    return std::fmod(turn, 90.0) == 0;
}

bool Sideways(double turn) {
    return turn == 90 || turn == 270;
}

// The side nearest `exact` (rounded first) whose parity makes `picture - side` even.
int OfParity(int rounded, double exact, int picture) {
    if ((picture - rounded) % 2 == 0)
        return rounded;
    return rounded > 1 && (exact < rounded || rounded >= kLargestSide) ? rounded - 1 : rounded + 1;
}

// The offset from the picture's centre rounded the same way on both sides of it, half away from
// the centre, so that copies mirrored about the centre stay mirrored.
int Symmetric(double offset) {
    return int(std::round(offset));
}
} // namespace

int MarginFor(const StampStyle& style, QSize picture) {
    if (style.marginPercent < 0)
        return style.margin;
    const double shortEdge = std::min(picture.width(), picture.height());
    return int(std::clamp(std::round(style.marginPercent / 100.0 * shortEdge), 0.0, kLargestSide));
}

QSize DrawnSize(QSize own, QSize picture, const StampStyle& style) {
    if (style.scale <= 0 || own.isEmpty())
        return own;
    const auto [measure, byWidth] = Measure(own, picture, style.scaleOf);
    const double aspect = double(own.height()) / double(own.width());
    const double exactMain = std::max(1.0, style.scale * measure);
    int main = Side(exactMain);
    const double exactOther = byWidth ? main * aspect : main / aspect;
    int other = Side(exactOther);
    const double turn = NormalTurn(style.rotation);
    if (style.tile && QuarterTurn(turn)) {
        // Sideways, the mark's width lies along the picture's height.
        const bool sideways = Sideways(turn);
        const int widthAlong = sideways ? picture.height() : picture.width();
        const int heightAlong = sideways ? picture.width() : picture.height();
        main = OfParity(main, exactMain, byWidth ? widthAlong : heightAlong);
        other = OfParity(other, exactOther, byWidth ? heightAlong : widthAlong);
    }
    return byWidth ? QSize(main, other) : QSize(other, main);
}

double NormalTurn(double degrees) {
    const double turn = std::fmod(degrees, 360.0);
    return turn < 0 ? turn + 360.0 : turn;
}

QSize TurnedBox(QSize drawn, QSize picture, const StampStyle& style) {
    const double turn = NormalTurn(style.rotation);
    if (QuarterTurn(turn))
        return Sideways(turn) ? drawn.transposed() : drawn;
    const double radians = turn * std::numbers::pi / 180.0;
    const double c = std::abs(std::cos(radians)), s = std::abs(std::sin(radians));
    // A hair less than whole, so that a box that is exactly whole is not made a pixel larger.
    constexpr double kSlack = 1e-6;
    int width = Side(std::ceil(drawn.width() * c + drawn.height() * s - kSlack));
    int height = Side(std::ceil(drawn.width() * s + drawn.height() * c - kSlack));
    if (style.tile) {
        width += (picture.width() - width) % 2 != 0;
        height += (picture.height() - height) % 2 != 0;
    }
    return QSize(width, height);
}

QImage TurnedMark(const QImage& argb, double degrees, QSize box) {
    const double turn = NormalTurn(degrees);
    if (turn == 0 && box == argb.size())
        return argb;
    if (QuarterTurn(turn) && box == (Sideways(turn) ? argb.size().transposed() : argb.size())) {
        // Qt turns clockwise on the screen; a quarter turn is moved pixel for pixel.
        QImage turned = argb.transformed(QTransform().rotate(360.0 - turn));
        if (turned.isNull())
            throw Failure(MarkFailureText(box));
        return turned.convertToFormat(QImage::Format_ARGB32);
    }
    // A clear pixel around the mark, so that sampling its edge blends it into nothing instead of
    // cutting it hard.
    QImage framed(argb.width() + 2, argb.height() + 2, QImage::Format_ARGB32_Premultiplied);
    QImage turned(box, QImage::Format_ARGB32_Premultiplied);
    if (framed.isNull() || turned.isNull())
        throw Failure(MarkFailureText(box));
    framed.fill(Qt::transparent);
    turned.fill(Qt::transparent);
    {
        QPainter painter(&framed);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(1, 1, argb);
    }
    QPainter painter(&turned);
    painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
    painter.translate(box.width() / 2.0, box.height() / 2.0);
    painter.rotate(-turn);
    painter.translate(-framed.width() / 2.0, -framed.height() / 2.0);
    painter.drawImage(0, 0, framed);
    painter.end();
    QImage plain = turned.convertToFormat(QImage::Format_ARGB32);
    if (plain.isNull())
        throw Failure(MarkFailureText(box));
    return plain;
}

namespace {
// The grid of a tile: a step of the mark's size and the gap in each direction, in the mark's own
// turned frame, rows every second of which is shifted by half a step when staggered. Each copy
// is centred on a grid point turned about the picture's centre. Offsets are odd functions of the
// grid's indices, so that the copy at -p mirrors the one at p exactly.
// A tile of more points than these would take longer to plan than its picture to stamp.
constexpr double kMostGridPoints = 1 << 24;
const QString kTooDenseTileText =
    QStringLiteral("a tile of %1 x %2 pixel watermarks is too dense for this picture");

std::vector<QPoint> TilePlaces(QSize picture, QSize drawn, QSize box, const StampStyle& style) {
    const double share = 1.0 + std::max(0.0, style.tileGap) / 100.0;
    const double stepX = std::max(1.0, drawn.width() * share);
    const double stepY = std::max(1.0, drawn.height() * share);
    const double radians = NormalTurn(style.rotation) * std::numbers::pi / 180.0;
    const double c = std::cos(radians), s = std::sin(radians);
    const double reach = std::hypot(picture.width(), picture.height()) / 2.0 +
                         std::hypot(box.width(), box.height()) / 2.0;
    const qint64 rows = qint64(std::ceil(reach / stepY));
    // In half steps, so that a staggered row's odd offsets stay exact.
    const qint64 halves = qint64(std::ceil(reach / (stepX / 2.0))) + 1;
    // With the mark of the picture's parity these are whole, and the copies exactly symmetric.
    const double left = (picture.width() - box.width()) / 2.0;
    const double top = (picture.height() - box.height()) / 2.0;
    // Added to the offsets alone, never to the whole corner, whose sum would round unevenly.
    const double leftHalf = left - std::floor(left), topHalf = top - std::floor(top);
    if (double(2 * rows + 1) * double(halves + 1) > kMostGridPoints)
        throw Failure(kTooDenseTileText.arg(drawn.width()).arg(drawn.height()));
    const QRect area(QPoint(0, 0), picture);
    std::vector<QPoint> places;
    for (qint64 row = -rows; row <= rows; ++row) {
        const bool shifted = style.tileStagger && row % 2 != 0;
        for (qint64 half = -halves; half <= halves; ++half) {
            if ((half % 2 != 0) != shifted)
                continue;
            const double x = double(half) * (stepX / 2.0);
            const double y = double(row) * stepY;
            const double dx = x * c + y * s;
            const double dy = y * c - x * s;
            const QPoint at(int(std::floor(left)) + Symmetric(dx + leftHalf),
                            int(std::floor(top)) + Symmetric(dy + topHalf));
            if (QRect(at, box).intersects(area))
                places.push_back(at);
        }
    }
    std::stable_sort(places.begin(), places.end(),
                     [](QPoint a, QPoint b) { return a.y() < b.y(); });
    return places;
}
} // namespace

std::vector<QPoint> MarkPlaces(int placement, QSize picture, QSize drawn, QSize box,
                               const StampStyle& style) {
    if (style.tile)
        return TilePlaces(picture, drawn, box, style);
    QPoint at;
    PlaceWatermark(placement, float(picture.width()), float(picture.height()), float(box.width()),
                   float(box.height()), at, MarginFor(style, picture));
    return {at};
}
