#include "engine/run/stampfile.h"

#include "engine/stamping/jpeglossless.h"
#include "engine/run/outputfile.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QMutexLocker>

#include <memory>
#include <new>
#include <unistd.h>

namespace {
// Rows decoded, stamped and encoded at a time on the streaming path: a few JPEG block rows,
// about 1.5 MB for a 12000-pixel-wide panorama.
constexpr int kBandRows = 32;
constexpr qint64 kBytesPerPixel = 4;

qint64 PixelCount(QSize size) {
    return qint64(size.width()) * qint64(size.height());
}

bool KeepsAlpha(PictureFormat format) {
    return format == PictureFormat::Png || format == PictureFormat::Tiff ||
           format == PictureFormat::Gif;
}

bool CarriesMetadata(PictureFormat format) {
    return format == PictureFormat::Jpeg || format == PictureFormat::Png ||
           format == PictureFormat::Tiff;
}

// Where an image's way stands, so that a failure is reported against the right step and file.
enum class Stage { Decode, Place, Write };

struct Encoding {
    JpegSettings jpeg;
    PictureMetadata metadata;
};

void StreamStamp(PictureReader& reader, OutputFile& file, const OutputPlan& output,
                 const Encoding& encoding, QPoint at, const StampMark& mark, Stage& stage) {
    const QSize size = reader.size();
    const bool alphaOut = reader.hasAlpha() && output.format == PictureFormat::Png;
    stage = Stage::Write;
    const std::unique_ptr<RowWriter> writer =
        output.format == PictureFormat::Jpeg
            ? StartJpegWriter(file, size, encoding.jpeg, encoding.metadata)
            : StartPngWriter(file, size, alphaOut, encoding.metadata);
    const qsizetype bytesPerLine = qsizetype(size.width()) * kBytesPerPixel;
    const auto band = std::make_unique_for_overwrite<uchar[]>(size_t(bytesPerLine) * kBandRows);
    for (int y = 0; y < size.height(); y += kBandRows) {
        const int count = std::min(kBandRows, size.height() - y);
        stage = Stage::Decode;
        reader.readRows(band.get(), bytesPerLine, count);
        if (reader.hasAlpha() && !alphaOut)
            FlattenRows(band.get(), bytesPerLine, size.width(), count);
        StampRows(band.get(), bytesPerLine, y, count, size.width(), alphaOut, at, mark);
        stage = Stage::Write;
        writer->writeRows(band.get(), bytesPerLine, count);
    }
    writer->finish();
}

QImage WholeStamp(PictureReader& reader, OutputFile& file, const OutputPlan& output,
                  const Encoding& encoding, QPoint at, const StampMark& mark, Stage& stage) {
    stage = Stage::Decode;
    QImage picture = Oriented(reader.readAll(), reader.orientation());
    if (!picture.hasAlphaChannel() || !KeepsAlpha(output.format))
        picture = FlattenOntoWhite(std::move(picture));
    StampImage(picture, at, mark);
    stage = Stage::Write;
    WritePicture(picture, output.format, file, encoding.jpeg, encoding.metadata);
    return picture;
}

Encoding EncodingFor(const StampRequest& request, const PictureReader& reader, QSize upright) {
    Encoding encoding;
    encoding.jpeg.quality = request.choices->jpegQuality;
    if (request.choices->keepJpegQuality)
        encoding.jpeg.tables = reader.jpegTables();
    if (CarriesMetadata(request.output.format))
        encoding.metadata =
            MetadataForOutput(reader.metadata(), upright, request.choices->stripMetadata);
    return encoding;
}

// Several workers may make the same folder at once; each of them finds it there afterwards.
void MakeOutputFolder(const QString& folder) {
    if (folder.isEmpty())
        return;
    try {
        MakeFolderPath(folder);
    } catch (const Failure& failure) {
        throw Failure(
            QStringLiteral("cannot create the folder %1: %2").arg(folder, failure.text()));
    }
}

// The failure's text with the file it concerns in front, unless it names that file already.
QString Naming(const QString& path, const QString& text) {
    return text.startsWith(path + QLatin1Char(':')) ? text : path + QStringLiteral(": ") + text;
}
} // namespace

RunWatermark::RunWatermark(const QString& path, BgrColor transparent, const StampStyle& style,
                           qint64 maxPixels) {
    try {
        mark_ = StampMark(DecodePicture(path, true, maxPixels), transparent, style);
    } catch (const Failure& failure) {
        throw Failure(Naming(path, failure.text()));
    }
}

StampMark RunWatermark::forImageWidth(int width) {
    QMutexLocker lock(&mutex_);
    auto found = byWidth_.find(width);
    if (found == byWidth_.end()) {
        // A run meets few widths; a handful of sizes is all a camera's pictures take.
        constexpr size_t kKeptSizes = 8;
        if (byWidth_.size() >= kKeptSizes)
            byWidth_.clear();
        found = byWidth_.emplace(width, mark_.forImageWidth(width)).first;
    }
    return found->second;
}

namespace {
// The picture's blocks when the lossless way is chosen and takes the picture; nothing otherwise,
// with a note when the lossless way was chosen for a JPEG that it cannot take.
std::unique_ptr<LosslessJpeg> LosslessWayFor(const StampRequest& request,
                                             const PictureReader& reader, QStringList& notes) {
    if (!request.choices->losslessJpeg || reader.format() != PictureFormat::Jpeg ||
        request.output.format != PictureFormat::Jpeg)
        return nullptr;
    auto jpeg = std::make_unique<LosslessJpeg>(request.inputPath);
    const QString refusal =
        jpeg->refusal(reader.orientation(), request.choices->stripMetadata, request.maxPixels);
    if (refusal.isEmpty())
        return jpeg;
    notes << kReencodedNote.arg(refusal);
    return nullptr;
}

void LosslessStamp(LosslessJpeg& jpeg, const PictureReader& reader, const StampRequest& request,
                   QPoint at, const StampMark& mark, OutputFile& file, Stage& stage) {
    stage = Stage::Decode;
    jpeg.read();
    // A spliced picture's scan is read as the mark's blocks are taken from it.
    jpeg.stamp(at, mark, reader.orientation());
    stage = Stage::Write;
    // The copy is stored as its input was: a turned picture keeps its orientation and size.
    const bool turned = reader.orientation() != 1;
    jpeg.write(file, MetadataForOutput(reader.metadata(), reader.size(),
                                       request.choices->stripMetadata, turned));
}

// The copy as written, for a preview that shows what the run stamps; nothing when it cannot be
// read back, which leaves the preview as it was but the copy written.
QImage WrittenPicture(const StampRequest& request) {
    try {
        return DecodePicture(request.output.path, false, request.maxPixels);
    } catch (const Failure&) {
        return {};
    }
}

// Stamps the picture the way that suits it and puts the finished copy in place.
void StampAndCommit(const StampRequest& request, PictureReader& reader, StampResult& result,
                    RunWatermark& watermark, Stage& stage) {
    const std::unique_ptr<LosslessJpeg> lossless = LosslessWayFor(request, reader, result.notes);
    const QSize upright = OrientedSize(reader.size(), reader.orientation());
    const PictureFormat format = request.output.format;
    const bool streams = !lossless && !request.wantPicture && reader.canStream() &&
                         reader.orientation() == 1 &&
                         (format == PictureFormat::Jpeg || format == PictureFormat::Png);
    if (!streams && !lossless && PixelCount(upright) > request.maxPixels)
        throw Failure(TooLargeText(upright, request.maxPixels));
    const StampMark mark = watermark.forImageWidth(upright.width());
    QPoint at(0, 0);
    stage = Stage::Place;
    PlaceWatermark(request.placement, float(upright.width()), float(upright.height()),
                   float(mark.size().width()), float(mark.size().height()), at,
                   request.style->margin);
    stage = Stage::Write;
    MakeOutputFolder(request.folderToMake);
    OutputFile file(request.output.path);
    QImage picture;
    if (lossless)
        LosslessStamp(*lossless, reader, request, at, mark, file, stage);
    else if (streams)
        StreamStamp(reader, file, request.output, EncodingFor(request, reader, upright), at, mark,
                    stage);
    else
        picture = WholeStamp(reader, file, request.output, EncodingFor(request, reader, upright),
                             at, mark, stage);
    stage = Stage::Write;
    file.commit();
    if (request.wantPicture)
        result.picture = lossless ? WrittenPicture(request) : FlattenOntoWhite(std::move(picture));
}
} // namespace

StampResult StampFile(const StampRequest& request, RunWatermark& watermark) {
    StampResult result;
    Stage stage = Stage::Decode;
    try {
        LimitQtDecoding(request.maxPixels);
        const std::unique_ptr<PictureReader> reader = PictureReader::open(request.inputPath);
        StampAndCommit(request, *reader, result, watermark, stage);
        result.written = true;
    } catch (const Failure& failure) {
        const bool writing = stage == Stage::Write;
        const int step = writing                 ? RunStep::Write
                         : stage == Stage::Place ? RunStep::Place
                                                 : RunStep::LoadImage;
        result.failures << StepFailure{
            step, Naming(writing ? request.output.path : request.inputPath, failure.text())};
    } catch (const std::bad_alloc&) {
        result.failures << StepFailure{RunStep::LoadImage,
                                       Naming(request.inputPath, SystemErrorText(ENOMEM))};
    }
    return result;
}
