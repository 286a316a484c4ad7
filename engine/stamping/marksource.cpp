// Marks from raster pictures (keyed), from SVG files and from pixels drawn for one picture.
#include "engine/stamping/marksource.h"

#include "engine/io/resize.h"
#include "support/failure.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

namespace {
constexpr QRgb kOpaque = 0xFF000000u;

// True when some pixel is less than opaque: the picture's alpha then says what is transparent.
bool HasOwnTransparency(const QImage& argb) {
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        if (std::any_of(line, line + argb.width(), [](QRgb p) { return qAlpha(p) < 255; }))
            return true;
    }
    return false;
}

// The largest difference of one channel: how far a colour lies from the key.
int KeyDistance(QRgb pixel, QRgb key) {
    return std::max({std::abs(qRed(pixel) - qRed(key)), std::abs(qGreen(pixel) - qGreen(key)),
                     std::abs(qBlue(pixel) - qBlue(key))});
}

// A pixel of an anti-aliased rim, a blend of the logo's colour and the key, taken apart again:
// it keeps the least alpha that explains it as a colour laid over the key, and that colour, so
// that the rim blends into the picture instead of showing the key's light or dark edge. Over the
// key colour itself it gives back exactly the pixel it was.
QRgb Unblended(QRgb pixel, QRgb key) {
    const auto share = [](int p, int k) {
        return p == k ? 0.0 : p > k ? double(p - k) / double(255 - k) : double(k - p) / double(k);
    };
    const double alpha = std::max({share(qRed(pixel), qRed(key)), share(qGreen(pixel), qGreen(key)),
                                   share(qBlue(pixel), qBlue(key))});
    if (alpha <= 0)
        return 0;
    const auto channel = [&](int p, int k) {
        return std::clamp(int(std::lround(k + (p - k) / alpha)), 0, 255);
    };
    return qRgba(channel(qRed(pixel), qRed(key)), channel(qGreen(pixel), qGreen(key)),
                 channel(qBlue(pixel), qBlue(key)), int(std::lround(alpha * 255)));
}

QImage Keyed(const QImage& picture, BgrColor transparent, int tolerance) {
    QImage keyed = picture.convertToFormat(QImage::Format_ARGB32);
    if (keyed.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    // A logo with its own transparency (white letters on a clear ground) is blended by its alpha
    // alone: keying its white out would hollow the letters.
    if (picture.hasAlphaChannel() && HasOwnTransparency(keyed))
        return keyed;
    const QRgb key = BgrToRgb(transparent) | kOpaque;
    for (int y = 0; y < keyed.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x) {
            if (KeyDistance(line[x], key) <= tolerance)
                line[x] = Unblended(line[x], key);
        }
    }
    return keyed;
}

QImage Checked(QImage image, QSize size) {
    if (image.isNull())
        throw Failure(MarkFailureText(size));
    return image;
}

QImage Unpremultiplied(const QImage& premultiplied, QSize size) {
    return Checked(premultiplied.convertToFormat(QImage::Format_ARGB32), size);
}

QImage Transparent(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        throw Failure(MarkFailureText(size));
    image.fill(Qt::transparent);
    return image;
}

// Pixels sized by the Lanczos-3 filter that --resize uses for pictures, over premultiplied
// pixels: thin lines of a logo made smaller stay lines instead of beating into moire, a logo made
// larger stays sharp, and no colour of a transparent pixel bleeds into the edges.
class PixelsSource : public MarkSource {
public:
    explicit PixelsSource(QImage argb, QByteArray profile = {})
        : pixels_(std::move(argb)), profile_(std::move(profile)) {}
    QSize ownSize() const override { return pixels_.size(); }
    QImage ownPixels() const override { return pixels_; }
    QByteArray profile() const override { return profile_; }

    QImage drawn(QSize size) const override { return drawnPart(size, QRect(QPoint(0, 0), size)); }

    QImage drawnPart(QSize size, QRect visible) const override {
        if (size == pixels_.size())
            return Checked(visible == pixels_.rect() ? pixels_ : pixels_.copy(visible),
                           visible.size());
        return Checked(LanczosResized(pixels_, size, visible), visible.size());
    }

private:
    QImage pixels_;
    QByteArray profile_;
};

// The document is kept and a renderer made for each drawing, so that workers draw at once.
class SvgSource : public MarkSource {
public:
    SvgSource(const QString& path, QByteArray document) : document_(std::move(document)) {
        QSvgRenderer renderer(document_);
        const QSize own = renderer.defaultSize();
        if (!renderer.isValid() || own.isEmpty())
            throw Failure(QStringLiteral("%1: not an SVG picture that can be drawn").arg(path));
        size_ = own;
    }
    QSize ownSize() const override { return size_; }
    QImage drawn(QSize size) const override { return drawnPart(size, QRect(QPoint(0, 0), size)); }

    QImage drawnPart(QSize size, QRect visible) const override {
        QImage part = Transparent(visible.size());
        QSvgRenderer renderer(document_);
        QPainter painter(&part);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        painter.translate(-visible.x(), -visible.y());
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
        painter.end();
        return Unpremultiplied(part, visible.size());
    }

private:
    QByteArray document_;
    QSize size_;
};

// Enough of a file's start to find an XML document's root element behind its prolog.
constexpr qint64 kSvgSniffBytes = 4096;
} // namespace

QString MarkFailureText(QSize size) {
    return QStringLiteral("the watermark cannot be made %1 x %2 pixels: %3")
        .arg(size.width())
        .arg(size.height())
        .arg(SystemErrorText(ENOMEM));
}

std::shared_ptr<const MarkSource> RasterMarkSource(const QImage& picture, BgrColor transparent,
                                                   int keyTolerance, const QByteArray& profile) {
    // The key is the colour as the file stores it, before any conversion.
    return std::make_shared<PixelsSource>(
        Keyed(picture, transparent, std::clamp(keyTolerance, 0, 255)), profile);
}

std::shared_ptr<const MarkSource> PixelsMarkSource(const QImage& argb) {
    return std::make_shared<PixelsSource>(
        Checked(argb.convertToFormat(QImage::Format_ARGB32), argb.size()));
}

bool IsSvgFile(const QString& path) {
    // A pipe or device is never opened here: it could keep the run waiting for ever.
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(kSvgSniffBytes);
    // gzip's magic: an .svgz is told by its name, since any gzip file starts so.
    if (head.startsWith("\x1f\x8b"))
        return path.endsWith(QLatin1String(".svgz"), Qt::CaseInsensitive);
    const QByteArray text = head.trimmed();
    return text.startsWith('<') && text.contains("<svg");
}

std::shared_ptr<const MarkSource> SvgMarkSource(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("%1: %2").arg(path, file.errorString()));
    return std::make_shared<SvgSource>(path, file.readAll());
}
