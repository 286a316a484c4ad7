#include "engine/io/resize.h"

#include "engine/io/codecio.h"

#include <QRegularExpression>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <numbers>

namespace {
// Four floats, one pixel's B, G, R and A, added and scaled in one instruction.
using Pixel = float __attribute__((vector_size(16)));

constexpr double kLobes = 3;
// Source rows read from the picture's reader at a time.
constexpr int kSourceBand = 16;
constexpr int kChannels = 4;

double Sinc(double x) {
    if (x == 0)
        return 1;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

double Lanczos3(double x) {
    return std::abs(x) < kLobes ? Sinc(x) * Sinc(x / kLobes) : 0;
}

std::optional<int> ParseEdge(const QString& text) {
    if (text.isEmpty() ||
        !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return std::nullopt;
    bool isNumber = false;
    const int edge = text.toInt(&isNumber);
    return isNumber && edge >= 1 && edge <= kMostResizeEdge ? std::optional(edge) : std::nullopt;
}

int Scaled(int edge, double factor) {
    return int(std::clamp<double>(std::llround(edge * factor), 1, kMostResizeEdge));
}

// The width and height that the factor gives the picture, each edge that the rule names exactly
// as named.
QSize ScaledSize(QSize upright, double factor, const ResizeRule& rule) {
    QSize size(Scaled(upright.width(), factor), Scaled(upright.height(), factor));
    const bool wide = upright.width() >= upright.height();
    switch (rule.kind) {
    case ResizeKind::LongEdge:
        (wide ? size.rwidth() : size.rheight()) = rule.width;
        break;
    case ResizeKind::Width:
        size.setWidth(rule.width);
        break;
    case ResizeKind::Height:
        size.setHeight(rule.height);
        break;
    case ResizeKind::Box:
        size = size.boundedTo(QSize(rule.width, rule.height));
        break;
    default:
        break;
    }
    return size;
}

Pixel Load(const uchar* bgra, bool premultiply) {
    Pixel pixel = {float(bgra[0]), float(bgra[1]), float(bgra[2]), float(bgra[3])};
    if (premultiply) {
        const float alpha = pixel[3] / 255.0f;
        pixel *= Pixel{alpha, alpha, alpha, 1.0f};
    }
    return pixel;
}

uchar Byte(float value) {
    return uchar(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

// An opaque row's bytes as floats, as Load gives them, four channels in one step.
void LoadOpaque(const uchar* bgra, Pixel* pixels, int width) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int x = 0; x < width; ++x) {
        std::int32_t packed;
        std::memcpy(&packed, bgra + x * kChannels, sizeof packed);
        const __m128i bytes = _mm_unpacklo_epi8(_mm_cvtsi32_si128(packed), zero);
        pixels[x] = Pixel(_mm_cvtepi32_ps(_mm_unpacklo_epi16(bytes, zero)));
    }
#else
    for (int x = 0; x < width; ++x)
        pixels[x] = Load(bgra + x * kChannels, false);
#endif
}

// An opaque pixel's bytes, each channel rounded and clamped as Byte does, alpha 0xFF.
void StoreOpaque(Pixel pixel, uchar* bgra) {
#if defined(__SSE2__)
    const __m128 rounded = _mm_add_ps(__m128(pixel), _mm_set1_ps(0.5f));
    const __m128 clamped = _mm_min_ps(_mm_max_ps(rounded, _mm_setzero_ps()), _mm_set1_ps(255.0f));
    const __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(clamped), _mm_setzero_si128());
    const std::int32_t packed = _mm_cvtsi128_si32(_mm_packus_epi16(words, words)) | 0xFF000000;
    std::memcpy(bgra, &packed, sizeof packed);
#else
    bgra[0] = Byte(pixel[0]);
    bgra[1] = Byte(pixel[1]);
    bgra[2] = Byte(pixel[2]);
    bgra[3] = 0xFF;
#endif
}
} // namespace

std::optional<ResizeRule> ParseResizeRule(const QString& text) {
    static const QRegularExpression percent(QStringLiteral("^([0-9]+(\\.[0-9]+)?)%$"));
    ResizeRule rule;
    if (const auto match = percent.match(text); match.hasMatch()) {
        rule.kind = ResizeKind::Percent;
        rule.percent = match.captured(1).toDouble();
        return rule.percent > 0 && rule.percent <= 100.0 * kMostResizeEdge ? std::optional(rule)
                                                                           : std::nullopt;
    }
    const qsizetype x = text.indexOf(QLatin1Char('x'));
    if (x < 0) {
        rule.kind = ResizeKind::LongEdge;
        rule.width = ParseEdge(text).value_or(0);
        return rule.width ? std::optional(rule) : std::nullopt;
    }
    const QString left = text.left(x), right = text.mid(x + 1);
    const std::optional<int> width = ParseEdge(left), height = ParseEdge(right);
    if (width && height)
        rule.kind = ResizeKind::Box;
    else if (width && right.isEmpty())
        rule.kind = ResizeKind::Width;
    else if (height && left.isEmpty())
        rule.kind = ResizeKind::Height;
    else
        return std::nullopt;
    rule.width = width.value_or(0);
    rule.height = height.value_or(0);
    return rule;
}

QString ResizeRuleText(const ResizeRule& rule) {
    QString text;
    switch (rule.kind) {
    case ResizeKind::None:
        return {};
    case ResizeKind::LongEdge:
        text = QString::number(rule.width);
        break;
    case ResizeKind::Width:
        text = QStringLiteral("%1x").arg(rule.width);
        break;
    case ResizeKind::Height:
        text = QStringLiteral("x%1").arg(rule.height);
        break;
    case ResizeKind::Box:
        text = QStringLiteral("%1x%2").arg(rule.width).arg(rule.height);
        break;
    case ResizeKind::Percent:
        text = QString::number(rule.percent, 'g', 17) + QLatin1Char('%');
        break;
    }
    return rule.enlarge ? text + QStringLiteral(" enlarge") : text;
}

QSize ResizedSize(QSize upright, const ResizeRule& rule) {
    if (upright.isEmpty())
        return upright;
    const double width = upright.width(), height = upright.height();
    double factor = 1;
    switch (rule.kind) {
    case ResizeKind::None:
        return upright;
    case ResizeKind::LongEdge:
        factor = rule.width / std::max(width, height);
        break;
    case ResizeKind::Width:
        factor = rule.width / width;
        break;
    case ResizeKind::Height:
        factor = rule.height / height;
        break;
    case ResizeKind::Box:
        factor = std::min(rule.width / width, rule.height / height);
        break;
    case ResizeKind::Percent:
        factor = rule.percent / 100;
        break;
    }
    if (factor >= 1 && !rule.enlarge)
        return upright;
    return ScaledSize(upright, factor, rule);
}

ResizeTaps LanczosTaps(int from, int to) {
    ResizeTaps taps;
    const double scale = double(from) / to;
    // Made smaller, the kernel is stretched over the input so that it takes out what the output
    // cannot hold; made larger, it is the plain kernel.
    const double stretch = std::max(scale, 1.0);
    const double reach = kLobes * stretch;
    taps.most = int(std::ceil(2 * reach)) + 2;
    taps.first.resize(size_t(to));
    taps.count.resize(size_t(to));
    taps.weights.assign(size_t(to) * size_t(taps.most), 0.0f);
    std::vector<double> weights(size_t(taps.most));
    int most = 0;
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * scale;
        const int first = std::max(0, int(std::floor(centre - reach)));
        const int end = std::min(from, int(std::ceil(centre + reach)) + 1);
        double sum = 0;
        int used = 0;
        int start = -1;
        for (int j = first; j < end && used < taps.most; ++j) {
            const double weight = Lanczos3((j + 0.5 - centre) / stretch);
            if (weight == 0 && start < 0)
                continue;
            if (start < 0)
                start = j;
            weights[size_t(used++)] = weight;
            sum += weight;
        }
        while (used > 1 && weights[size_t(used - 1)] == 0)
            --used;
        if (start < 0) {
            // Narrower than one output pixel's reach: the nearest input pixel.
            start = std::clamp(int(centre), 0, from - 1);
            weights[0] = sum = 1;
            used = 1;
        }
        taps.first[size_t(i)] = start;
        taps.count[size_t(i)] = used;
        for (int k = 0; k < used; ++k)
            taps.weights[size_t(i) * size_t(taps.most) + size_t(k)] =
                float(weights[size_t(k)] / sum);
        most = std::max(most, used);
    }
    // Kept at the stride it was laid out with; `most` tells the ring how many rows it holds.
    taps.most = std::max(most, 1);
    std::vector<float> packed(size_t(to) * size_t(taps.most), 0.0f);
    const size_t stride = taps.weights.size() / size_t(to);
    for (size_t i = 0; i < size_t(to); ++i)
        std::copy_n(taps.weights.begin() + qsizetype(i * stride), taps.most,
                    packed.begin() + qsizetype(i * size_t(taps.most)));
    taps.weights = std::move(packed);
    return taps;
}

namespace {
// A run's pictures come in few sizes, and a worker meets the same ones again and again: their
// weights are kept rather than computed anew (a few sines for every weight, 7% of the work of a
// 12 MP photo made 2048 wide).
const ResizeTaps& KeptTaps(int from, int to) {
    constexpr size_t kKeptAxes = 8;
    thread_local std::map<std::pair<int, int>, ResizeTaps> kept;
    auto found = kept.find({from, to});
    if (found == kept.end()) {
        if (kept.size() >= kKeptAxes)
            kept.clear();
        found = kept.emplace(std::pair(from, to), LanczosTaps(from, to)).first;
    }
    return found->second;
}
} // namespace

LanczosRows::LanczosRows(QSize from, QSize to, QRect part, bool alpha)
    : across_(KeptTaps(from.width(), to.width())), down_(KeptTaps(from.height(), to.height())),
      part_(part), alpha_(alpha) {
    inputRow_.resize(size_t(from.width()) * kChannels);
    ring_.resize(size_t(down_.most) * size_t(part.width()) * kChannels);
    taps_.resize(size_t(down_.most));
    filtered_ = part.isEmpty() ? 0 : down_.first[size_t(part.top())];
}

qint64 LanczosRows::bytes(QSize from, QSize to, int partWidth) {
    const qint64 floatBytes = sizeof(float) * kChannels;
    const double scale = double(from.height()) / std::max(1, to.height());
    const qint64 ringRows = qint64(std::ceil(2 * kLobes * std::max(scale, 1.0))) + 2;
    return floatBytes * (from.width() + (ringRows + 1) * partWidth);
}

void LanczosRows::filterSourceRow(const uchar* row) {
    const int width = int(inputRow_.size() / kChannels);
    auto* input = reinterpret_cast<Pixel*>(inputRow_.data());
    if (alpha_)
        for (int x = 0; x < width; ++x)
            input[x] = Load(row + x * kChannels, true);
    else
        LoadOpaque(row, input, width);
    auto* out =
        reinterpret_cast<Pixel*>(ring_.data()) + qsizetype(filtered_ % down_.most) * part_.width();
    const float* weights = across_.weights.data() + size_t(part_.left()) * size_t(across_.most);
    for (int x = part_.left(); x <= part_.right(); ++x, weights += across_.most) {
        const Pixel* from = input + across_.first[size_t(x)];
        Pixel sum = {0, 0, 0, 0};
        for (int k = 0; k < across_.count[size_t(x)]; ++k)
            sum += from[k] * weights[k];
        *out++ = sum;
    }
    ++filtered_;
}

void LanczosRows::makeRow(int y, uchar* row, const SourceRow& source) {
    const int first = down_.first[size_t(y)];
    const int count = down_.count[size_t(y)];
    while (filtered_ < first + count)
        filterSourceRow(source(filtered_));
    const int width = part_.width();
    const float* weights = down_.weights.data() + size_t(y) * size_t(down_.most);
    for (int k = 0; k < count; ++k)
        taps_[size_t(k)] = ring_.data() + qsizetype((first + k) % down_.most) * width * kChannels;
    // Each output pixel sums its column of filtered rows in a register, in the rows' order, so
    // the row is written once rather than once for every row it takes.
    for (int x = 0; x < width; ++x) {
        Pixel pixel = {0, 0, 0, 0};
        for (int k = 0; k < count; ++k)
            pixel += reinterpret_cast<const Pixel*>(taps_[size_t(k)])[x] * weights[k];
        uchar* bytes = row + x * kChannels;
        if (!alpha_) {
            StoreOpaque(pixel, bytes);
            continue;
        }
        const uchar a = Byte(pixel[3]);
        // Any alpha that rounds to more than nothing holds the colour at its full strength: a
        // faint rim pixel left darker would draw a dark fringe round the edge, and an alpha the
        // filter's lobes carried above opaque would brighten it.
        if (a != 0) {
            const float unmultiply = 255.0f / pixel[3];
            pixel *= Pixel{unmultiply, unmultiply, unmultiply, 1.0f};
        }
        bytes[0] = Byte(pixel[0]);
        bytes[1] = Byte(pixel[1]);
        bytes[2] = Byte(pixel[2]);
        bytes[3] = a;
    }
}

QImage LanczosResized(const QImage& argb, QSize size, QRect part) {
    QImage resized(part.size(), QImage::Format_ARGB32);
    if (resized.isNull() || part.isEmpty())
        return resized;
    LanczosRows filter(argb.size(), size, part, true);
    const LanczosRows::SourceRow source = [&](int y) {
        return argb.constScanLine(y);
    };
    for (int y = 0; y < part.height(); ++y)
        filter.makeRow(part.top() + y, resized.scanLine(y), source);
    return resized;
}

ResizingReader::ResizingReader(std::unique_ptr<PictureReader> source, QSize stored)
    : source_(std::move(source)), size_(stored),
      filter_(source_->size(), stored, QRect(QPoint(0, 0), stored), source_->hasAlpha()) {
    band_.resize(size_t(kSourceBand) * size_t(source_->size().width()) * kChannels);
}

qint64 ResizingReader::filterBytes(QSize source, QSize stored) {
    return LanczosRows::bytes(source, stored, stored.width()) +
           qint64(kSourceBand) * source.width() * kChannels;
}

qint64 ResizingReader::filterBytes() const {
    return filterBytes(source_->size(), size_);
}

const uchar* ResizingReader::sourceRow(int y) {
    const qsizetype bytesPerLine = qsizetype(source_->size().width()) * kChannels;
    while (y >= bandFirst_ + bandRows_) {
        bandFirst_ += bandRows_;
        bandRows_ = std::min(kSourceBand, source_->size().height() - bandFirst_);
        if (bandRows_ <= 0)
            failDataEndsEarly();
        source_->readRows(band_.data(), bytesPerLine, bandRows_);
    }
    return band_.data() + (y - bandFirst_) * bytesPerLine;
}

void ResizingReader::readRows(uchar* rows, qsizetype bytesPerLine, int count) {
    if (count > size_.height() - made_)
        failDataEndsEarly();
    const LanczosRows::SourceRow source = [this](int y) {
        return sourceRow(y);
    };
    for (int y = 0; y < count; ++y)
        filter_.makeRow(made_++, rows + y * bytesPerLine, source);
}

std::unique_ptr<PictureReader> ResizeReader(std::unique_ptr<PictureReader> reader,
                                            const ResizeRule& rule) {
    const QSize stored = reader->size();
    const bool turned = reader->orientation() >= 5;
    const QSize upright = turned ? stored.transposed() : stored;
    const QSize wanted = ResizedSize(upright, rule);
    if (wanted == upright)
        return reader;
    const QSize target = turned ? wanted.transposed() : wanted;
    const auto keeps = [&](int eighths) {
        const qint64 width = (qint64(stored.width()) * eighths + 7) / 8;
        const qint64 height = (qint64(stored.height()) * eighths + 7) / 8;
        return width >= kDecodedOverTarget * target.width() &&
               height >= kDecodedOverTarget * target.height();
    };
    // The smallest reduction that keeps enough: 1/8, 1/4 or 1/2 where the decoder makes those,
    // otherwise any eighths a JPEG decoder makes.
    for (int eighths = 1; eighths < 8; ++eighths) {
        if (!keeps(eighths))
            continue;
        const bool scaled = (8 % eighths == 0 && reader->scaleDown(8 / eighths)) ||
                            (kAnyEighths && reader->scaleToEighths(eighths));
        if (scaled)
            break;
    }
    if (reader->size() == target)
        return reader;
    return std::make_unique<ResizingReader>(std::move(reader), target);
}
