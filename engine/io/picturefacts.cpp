#include "engine/io/picturefacts.h"

#include <exiv2/exiv2.hpp>

#include <cmath>

namespace {
// The text of a tag, trimmed; cameras pad Make and Model with spaces and NULs.
QString TextOf(const Exiv2::ExifData& data, const char* key) {
    const auto found = data.findKey(Exiv2::ExifKey(key));
    if (found == data.end() || found->count() == 0)
        return {};
    QString text = QString::fromStdString(found->toString());
    text.remove(QChar(0));
    return text.trimmed();
}

// A rational tag's value; nothing when absent or with a zero denominator.
std::optional<Exiv2::Rational> RationalOf(const Exiv2::ExifData& data, const char* key) {
    const auto found = data.findKey(Exiv2::ExifKey(key));
    if (found == data.end() || found->count() == 0)
        return std::nullopt;
    const Exiv2::Rational value = found->toRational();
    return value.second == 0 ? std::nullopt : std::optional(value);
}

// Up to `digits` decimals, without trailing zeros: 2.8, 4, 0.5.
QString Decimal(double value, int digits) {
    QString text = QString::number(value, 'f', digits);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

// "Canon EOS R5" from Make "Canon" and Model "Canon EOS R5"; "NIKON D750" from "NIKON
// CORPORATION" and "NIKON D750"; the make's first word in front when the model lacks it.
QString CameraOf(const QString& make, const QString& model) {
    if (model.isEmpty())
        return make;
    const QString brand = make.section(QLatin1Char(' '), 0, 0);
    if (brand.isEmpty() || model.startsWith(brand, Qt::CaseInsensitive))
        return model;
    return brand + QLatin1Char(' ') + model;
}

// "1/250 s" for a fraction of a second as cameras show it, "2.5 s" for a long exposure.
QString ExposureOf(const Exiv2::ExifData& data) {
    const auto time = RationalOf(data, "Exif.Photo.ExposureTime");
    if (!time || time->first <= 0)
        return {};
    const double seconds = double(time->first) / time->second;
    const double fraction = 1.0 / seconds;
    if (seconds < 1 && std::abs(fraction - std::round(fraction)) < 0.05 * fraction)
        return QStringLiteral("1/%1 s").arg(std::lround(fraction));
    return Decimal(seconds, seconds < 1 ? 2 : 1) + QStringLiteral(" s");
}

QDateTime TakenOf(const Exiv2::ExifData& data) {
    const QString text = TextOf(data, "Exif.Photo.DateTimeOriginal");
    return QDateTime::fromString(text, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
}

PictureFacts Read(const QByteArray& exif) {
    Exiv2::ExifData data;
    Exiv2::ExifParser::decode(data, reinterpret_cast<const Exiv2::byte*>(exif.constData()),
                              uint32_t(exif.size()));
    PictureFacts facts;
    facts.taken = TakenOf(data);
    facts.artist = TextOf(data, "Exif.Image.Artist");
    facts.copyright = TextOf(data, "Exif.Image.Copyright");
    facts.camera = CameraOf(TextOf(data, "Exif.Image.Make"), TextOf(data, "Exif.Image.Model"));
    facts.lens = TextOf(data, "Exif.Photo.LensModel");
    facts.iso = TextOf(data, "Exif.Photo.ISOSpeedRatings").section(QLatin1Char(' '), 0, 0);
    if (const auto f = RationalOf(data, "Exif.Photo.FNumber"))
        facts.aperture = QStringLiteral("f/") + Decimal(double(f->first) / f->second, 1);
    facts.exposure = ExposureOf(data);
    if (const auto focal = RationalOf(data, "Exif.Photo.FocalLength"))
        facts.focal = Decimal(double(focal->first) / focal->second, 1) + QStringLiteral(" mm");
    return facts;
}
} // namespace

PictureFacts FactsOf(const PictureMetadata& metadata) {
    if (metadata.exif.isEmpty())
        return {};
    // Exiv2's warnings about odd maker notes would only clutter the output.
    static const bool muted = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        return true;
    }();
    Q_UNUSED(muted);
    try {
        return Read(metadata.exif);
    } catch (const std::exception&) {
        return {};
    }
}
