// A text mark: the letters as outlines, scaled so that a capital letter has the height asked,
// filled, with a contrasting outline or a soft shadow under them.
#include "engine/stamping/textmark.h"

#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
// The letters are laid out at this size and their outlines scaled to the size asked, so that the
// capital height is exact for any picture rather than rounded to a whole pixel size.
constexpr int kLayoutPixels = 200;
// The usual family when none is named: Debian's default sans-serif, installed with the program.
const QString kUsualFamily = QStringLiteral("DejaVu Sans");

// Fonts are looked up and loaded by several workers at once; Qt's font database is not theirs
// to share unguarded.
QMutex g_fontLock;
QHash<QString, QString> g_loadedFiles; // a font file's path -> the family it holds

bool NamesFontFile(const QString& font) {
    static const QRegularExpression suffix(QStringLiteral("\\.(ttf|otf|ttc)$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return suffix.match(font).hasMatch() || QFileInfo(font).isFile();
}

// The family the font names, loading a file; an empty text with the reason in `refusal` when
// there is none. Called with g_fontLock held.
QString FamilyOf(const QString& font, QString& refusal) {
    if (font.isEmpty()) {
        const QStringList families = QFontDatabase::families();
        return families.contains(kUsualFamily) ? kUsualFamily : QString();
    }
    if (!NamesFontFile(font)) {
        for (const QString& family : QFontDatabase::families())
            if (family.compare(font, Qt::CaseInsensitive) == 0)
                return family;
        refusal = QStringLiteral("the font \"%1\" is not installed").arg(font);
        return {};
    }
    const QString path = QFileInfo(font).absoluteFilePath();
    if (const auto known = g_loadedFiles.constFind(path); known != g_loadedFiles.cend())
        return *known;
    if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()) {
        refusal = QStringLiteral("cannot read the font file %1").arg(font);
        return {};
    }
    const int id = QFontDatabase::addApplicationFont(path);
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    if (id < 0 || families.isEmpty()) {
        refusal = QStringLiteral("%1 is not a font file").arg(font);
        return {};
    }
    g_loadedFiles.insert(path, families.first());
    return families.first();
}

QStringList LinesOf(const QString& text) {
    QString joined = text;
    joined.replace(QLatin1String("\\n"), QLatin1String("\n"));
    return joined.split(QLatin1Char('\n'));
}

// The lines as outlines, centred on each other, at the layout size; capHeight is set to the
// capital height at that size.
QPainterPath LayOut(const QString& family, const QString& text, qreal& capHeight) {
    QFont font(family);
    font.setPixelSize(kLayoutPixels);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::NoFontMerging | QFont::PreferOutline));
    font.setKerning(true);
    const QFontMetricsF metrics(font);
    capHeight = metrics.capHeight();
    QPainterPath path;
    qreal baseline = metrics.ascent();
    for (const QString& line : LinesOf(text)) {
        path.addText(QPointF(-metrics.horizontalAdvance(line) / 2, baseline), font, line);
        baseline += metrics.lineSpacing();
    }
    return path;
}

// Light letters get a dark edge and shadow, dark letters a light one.
QColor ContrastOf(QRgb color) {
    return qGray(color) >= 128 ? QColor(0, 0, 0, qAlpha(color))
                               : QColor(255, 255, 255, qAlpha(color));
}

// The sums of a box blur's window divided by its size, rounded down, by a multiplication: the
// quotient is exact for every sum below 2^40 / window, far above 255 x window for any window a
// picture's text asks for.
class WindowDivider {
public:
    explicit WindowDivider(int window)
        : factor_(((quint64(1) << kShift) + quint64(window) - 1) / quint64(window)) {}
    int operator()(int sum) const { return int((quint64(sum) * factor_) >> kShift); }

private:
    static constexpr int kShift = 40;
    quint64 factor_;
};

// One pass of a box blur of the given radius along each row of an 8-bit alpha picture, values
// beyond the ends taken as clear. A row clear from end to end stays so.
void BlurRows(QImage& alpha, int radius) {
    const int width = alpha.width();
    const WindowDivider divide(2 * radius + 1);
    std::vector<uchar> source(size_t(width), 0);
    for (int y = 0; y < alpha.height(); ++y) {
        uchar* const line = alpha.scanLine(y);
        if (std::all_of(line, line + width, [](uchar value) { return value == 0; }))
            continue;
        std::copy(line, line + width, source.begin());
        int sum = 0;
        for (int x = 0; x < std::min(radius, width); ++x)
            sum += source[size_t(x)];
        for (int x = 0; x < width; ++x) {
            if (x + radius < width)
                sum += source[size_t(x + radius)];
            line[x] = uchar(divide(sum));
            if (x - radius >= 0)
                sum -= source[size_t(x - radius)];
        }
    }
}

// The same down each column, all columns at once a row at a time, so that memory is read in
// order.
void BlurColumns(QImage& alpha, int radius) {
    const int width = alpha.width(), height = alpha.height();
    const WindowDivider divide(2 * radius + 1);
    const QImage source = alpha.copy();
    std::vector<int> sums(static_cast<size_t>(width), 0);
    const auto add = [&](int y, int sign) {
        const uchar* line = source.constScanLine(y);
        for (int x = 0; x < width; ++x)
            sums[size_t(x)] += sign * line[x];
    };
    for (int y = 0; y < std::min(radius, height); ++y)
        add(y, 1);
    for (int y = 0; y < height; ++y) {
        if (y + radius < height)
            add(y + radius, 1);
        uchar* const line = alpha.scanLine(y);
        for (int x = 0; x < width; ++x)
            line[x] = uchar(divide(sums[size_t(x)]));
        if (y - radius >= 0)
            add(y - radius, -1);
    }
}

// The letters' shape in the shadow's colour, blurred: three box passes come close to a gaussian.
// The shadow is one colour, so only its coverage is blurred, and coloured afterwards.
QImage ShadowOf(const QPainterPath& letters, QSize size, QColor color, int radius) {
    QImage alpha(size, QImage::Format_Alpha8);
    alpha.fill(0);
    {
        QPainter painter(&alpha);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(letters, Qt::black);
    }
    for (int pass = 0; pass < 3; ++pass) {
        BlurRows(alpha, radius);
        BlurColumns(alpha, radius);
    }
    QImage shadow(size, QImage::Format_ARGB32_Premultiplied);
    const QRgb shade = qPremultiply(color.rgba());
    for (int y = 0; y < size.height(); ++y) {
        const uchar* coverage = alpha.constScanLine(y);
        auto* const line = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const uint a = coverage[x];
            line[x] = qRgba(qRed(shade) * a / 255, qGreen(shade) * a / 255, qBlue(shade) * a / 255,
                            qAlpha(shade) * a / 255);
        }
    }
    return shadow;
}
} // namespace

std::optional<QString> FontRefusal(const QString& font) {
    QMutexLocker lock(&g_fontLock);
    QString refusal;
    FamilyOf(font, refusal);
    return refusal.isEmpty() ? std::nullopt : std::optional(refusal);
}

QImage RenderTextMark(const TextStyle& style, const QString& filledText, QSize picture) {
    QMutexLocker lock(&g_fontLock);
    QString refusal;
    const QString family = FamilyOf(style.font, refusal);
    if (!refusal.isEmpty())
        return {};
    qreal layoutCap = 0;
    QPainterPath letters = LayOut(family, filledText, layoutCap);
    const qreal cap = std::min(picture.width(), picture.height()) * style.sizePercent / 100.0;
    if (letters.isEmpty() || layoutCap <= 0 || cap <= 0)
        return {};
    letters = QTransform::fromScale(cap / layoutCap, cap / layoutCap).map(letters);

    const QColor contrast = ContrastOf(style.color);
    const qreal edge = std::max<qreal>(1.0, cap / 12);
    QPainterPath outline;
    if (style.outline) {
        QPainterPathStroker stroker;
        stroker.setWidth(2 * edge);
        stroker.setJoinStyle(Qt::RoundJoin);
        outline = stroker.createStroke(letters);
    }
    const int blur = style.shadow ? std::max(1, int(std::lround(cap / 16))) : 0;
    const qreal offset = style.shadow ? std::max<qreal>(1.0, cap / 10) : 0;
    // Room for the anti-aliased rim, the outline and the shadow's offset and blur.
    const QRectF drawn = (style.outline ? outline.boundingRect() : letters.boundingRect());
    const QRectF bounds =
        drawn
            .united(
                drawn.translated(offset, offset).adjusted(-3 * blur, -3 * blur, 3 * blur, 3 * blur))
            .adjusted(-1, -1, 1, 1);
    const QRect area = bounds.toAlignedRect();
    const QTransform toImage = QTransform::fromTranslate(-area.left(), -area.top());

    QImage mark(area.size(), QImage::Format_ARGB32_Premultiplied);
    mark.fill(Qt::transparent);
    QPainter painter(&mark);
    painter.setRenderHint(QPainter::Antialiasing);
    if (style.shadow) {
        QColor shade = contrast;
        shade.setAlpha(contrast.alpha() * 3 / 4);
        painter.drawImage(
            0, 0,
            ShadowOf(toImage.map(style.outline ? outline : letters).translated(offset, offset),
                     area.size(), shade, blur));
    }
    if (style.outline)
        painter.fillPath(toImage.map(outline), contrast);
    painter.fillPath(toImage.map(letters), QColor::fromRgba(style.color));
    painter.end();
    return mark.convertToFormat(QImage::Format_ARGB32);
}
