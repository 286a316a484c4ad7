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

// One pass of a box blur of the given radius along rows (or columns, with `vertical`), over the
// four premultiplied channels.
void BoxBlur(QImage& image, int radius, bool vertical) {
    const int length = vertical ? image.height() : image.width();
    const int lines = vertical ? image.width() : image.height();
    const int window = 2 * radius + 1;
    // Pixels one apart along the line, and lines one apart, in QRgb steps.
    auto* const bits = reinterpret_cast<QRgb*>(image.bits());
    const qsizetype row = image.bytesPerLine() / qsizetype(sizeof(QRgb));
    const qsizetype step = vertical ? row : 1;
    const qsizetype across = vertical ? 1 : row;
    std::vector<QRgb> source(static_cast<size_t>(length));
    for (int line = 0; line < lines; ++line) {
        QRgb* const first = bits + line * across;
        for (int i = 0; i < length; ++i)
            source[size_t(i)] = first[i * step];
        int sum[4] = {};
        auto add = [&](int i, int sign) {
            if (i < 0 || i >= length)
                return;
            const QRgb value = source[size_t(i)];
            sum[0] += sign * qAlpha(value);
            sum[1] += sign * qRed(value);
            sum[2] += sign * qGreen(value);
            sum[3] += sign * qBlue(value);
        };
        for (int i = -radius; i < radius; ++i)
            add(i, 1);
        for (int i = 0; i < length; ++i) {
            add(i + radius, 1);
            first[i * step] =
                qRgba(sum[1] / window, sum[2] / window, sum[3] / window, sum[0] / window);
            add(i - radius, -1);
        }
    }
}

// The letters' shape in the shadow's colour, blurred: three box passes come close to a gaussian.
QImage ShadowOf(const QPainterPath& letters, QSize size, QColor color, int radius) {
    QImage shadow(size, QImage::Format_ARGB32_Premultiplied);
    shadow.fill(Qt::transparent);
    {
        QPainter painter(&shadow);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(letters, color);
    }
    for (int pass = 0; pass < 3; ++pass) {
        BoxBlur(shadow, radius, false);
        BoxBlur(shadow, radius, true);
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
