// One image's way: open, orient, stamp by bands, whole or losslessly, encode, commit.
#include "engine/run/stampfile.h"

#include "engine/io/metadata.h"
#include "engine/io/picturefacts.h"
#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"
#include "engine/io/resize.h"
#include "engine/run/memoryneed.h"
#include "engine/run/outputfile.h"
#include "engine/run/provenance.h"
#include "engine/stamping/jpeglossless.h"
#include "engine/stamping/marktext.h"
#include "engine/stamping/textmark.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QFileInfo>
#include <QMutexLocker>

#include <memory>
#include <new>
#include <optional>
#include <unistd.h>

namespace {
constexpr qint64 kBytesPerPixel = 4;
// A mark up to this size is kept for the next picture of the same width.
constexpr qint64 kKeptMarkBytes = 16 * 1024 * 1024;

qint64 PixelCount(QSize size) {
    return qint64(size.width()) * qint64(size.height());
}

bool CarriesMetadata(PictureFormat format) {
    return format != PictureFormat::Gif && format != PictureFormat::Bmp;
}

// A copy whose mark is lost is taken for someone else's file by a rerun, which keeps it and
// writes a numbered copy beside it.
const QString kMarkNotRecordedNote =
    QStringLiteral("the copy is written, but its mark could not be recorded in %1 (%2); a rerun "
                   "will keep it and write a numbered copy beside it");

// Where an image's way stands, so that a failure is reported against the right step and file.
enum class Stage { Decode, Place, Write };

struct Encoding {
    JpegSettings jpeg;
    PictureMetadata metadata;
    QStringList notes; // what of the metadata the copy's format could not hold
};

void StreamStamp(PictureReader& reader, OutputFile& file, const OutputPlan& output,
                 const Encoding& encoding, QPoint at, const StampMark& mark, Stage& stage) {
    const QSize size = reader.size();
    const bool alphaOut = reader.hasAlpha() && KeepsAlpha(output.format);
    stage = Stage::Write;
    const std::unique_ptr<RowWriter> writer =
        output.format == PictureFormat::Jpeg
            ? StartJpegWriter(file, size, encoding.jpeg, encoding.metadata)
        : output.format == PictureFormat::Webp
            ? StartWebpWriter(file, size, alphaOut, encoding.jpeg.quality, encoding.metadata)
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
    QImage picture = DecodePicture(reader, KeepsAlpha(output.format));
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
    else if (request.output.format == PictureFormat::Jpeg)
        encoding.jpeg.sampling = reader.jpegTables();
    if (CarriesMetadata(request.output.format)) {
        encoding.metadata =
            MetadataForOutput(reader.metadata(), upright, request.choices->stripMetadata);
        encoding.notes = FitMetadata(reader.metadata(), encoding.metadata, request.output.format,
                                     request.choices->stripMetadata);
    }
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

StampMark RunWatermark::forPicture(int width, QRect visible) {
    const QSize whole = mark_.sizeForImageWidth(width);
    const qint64 wholeBytes = qint64(whole.width()) * whole.height() * kBytesPerPixel;
    const qint64 visibleBytes = qint64(visible.width()) * visible.height() * kBytesPerPixel;
    if (wholeBytes <= kKeptMarkBytes)
        return forImageWidth(width);
    // Made for this picture alone, counted in its admission; a partly visible one is cut.
    return mark_.partForImageWidth(width, visibleBytes < wholeBytes ? visible
                                                                    : QRect(QPoint(0, 0), whole));
}

namespace {
// Whether the lossless way may take the picture: chosen, JPEG to JPEG, and its blocks fit in the
// budget. A resized picture has new blocks throughout.
bool LosslessWanted(const StampRequest& request, const PictureReader& reader) {
    return request.choices->losslessJpeg && !request.choices->resize.resizes() &&
           reader.format() == PictureFormat::Jpeg && request.output.format == PictureFormat::Jpeg;
}

// The lossless way's reading of the picture's head when that way is chosen for it; nothing
// otherwise.
std::unique_ptr<LosslessJpeg> LosslessHeadFor(const StampRequest& request,
                                              const PictureReader& reader) {
    if (!LosslessWanted(request, reader))
        return nullptr;
    return std::make_unique<LosslessJpeg>(request.inputPath);
}

// The picture's lossless way when it takes the picture; nothing otherwise, with a note when the
// lossless way was chosen for a JPEG that it cannot take.
std::unique_ptr<LosslessJpeg> LosslessWayFor(std::unique_ptr<LosslessJpeg> jpeg,
                                             const StampRequest& request,
                                             const PictureReader& reader, bool fits,
                                             QStringList& notes) {
    if (!jpeg)
        return nullptr;
    const QString refusal = jpeg->refusal(reader.orientation(), request.choices->stripMetadata,
                                          fits ? request.maxPixels : 0);
    if (refusal.isEmpty())
        return jpeg;
    notes << kReencodedNote.arg(refusal);
    return nullptr;
}

// How the picture goes, what it holds on its way, and where the mark lands on it.
struct PictureWay {
    QSize upright;
    bool streams = false;
    bool losslessFits = false;
    qint64 need = 0;
    // What a spliced picture takes when its splice fails and it goes through all of its blocks.
    qint64 allBlocksNeed = 0;
    QPoint at;
    QRect visible; // the part of the mark on the picture, in the mark's own pixels
};

qint64 PictureNeed(const StampRequest& request, const PictureReader& reader,
                   const LosslessJpeg* lossless, PictureWay& way) {
    const qint64 normal = way.streams ? StreamNeed(reader, request.output.format)
                                      : WholeNeed(reader, request.output.format);
    const qint64 mark = MarkNeed(way.visible.size());
    if (!lossless)
        return normal + mark;
    const qint64 shown = request.wantPicture ? WholeNeed(reader, PictureFormat::Jpeg) : 0;
    way.allBlocksNeed = LosslessNeed(reader, QFileInfo(request.inputPath).size()) + shown + mark;
    // A spliced picture holds the blocks around the mark, not the picture's.
    const QSize storedMark = StoredRect(QRect(way.at + way.visible.topLeft(), way.visible.size()),
                                        reader.size(), reader.orientation())
                                 .size();
    const qint64 need =
        lossless->spliced() ? lossless->bytesNeeded(storedMark) + shown + mark : way.allBlocksNeed;
    way.losslessFits = !request.budget || need <= request.budget->total();
    return way.losslessFits ? std::max(need, normal + mark) : normal + mark;
}

PictureWay WayFor(const StampRequest& request, const PictureReader& reader,
                  const LosslessJpeg* lossless, RunWatermark& watermark) {
    PictureWay way;
    way.upright = OrientedSize(reader.size(), reader.orientation());
    const PictureFormat format = request.output.format;
    way.streams = !request.wantPicture && reader.canStream() && reader.orientation() == 1 &&
                  (format == PictureFormat::Jpeg || format == PictureFormat::Png ||
                   (format == PictureFormat::Webp && WritesFormat(format)));
    const QSize mark = watermark.sizeForImageWidth(way.upright.width());
    PlaceWatermark(request.placement, float(way.upright.width()), float(way.upright.height()),
                   float(mark.width()), float(mark.height()), way.at, request.style->margin);
    way.visible = QRect(way.at, mark).intersected(QRect(QPoint(0, 0), way.upright));
    way.visible.translate(-way.at);
    way.need = PictureNeed(request, reader, lossless, way);
    return way;
}

void LosslessStamp(LosslessJpeg& jpeg, const PictureReader& reader, const StampRequest& request,
                   QPoint at, const StampMark& mark, OutputFile& file, Stage& stage,
                   QStringList& notes) {
    stage = Stage::Decode;
    jpeg.read();
    // A spliced picture's scan is read as the mark's blocks are taken from it.
    jpeg.stamp(at, mark, reader.orientation());
    stage = Stage::Write;
    // The copy is stored as its input was: a turned picture keeps its orientation and size.
    const bool turned = reader.orientation() != 1;
    PictureMetadata metadata =
        MetadataForOutput(reader.metadata(), reader.size(), request.choices->stripMetadata, turned);
    notes << FitMetadata(reader.metadata(), metadata, PictureFormat::Jpeg,
                         request.choices->stripMetadata);
    jpeg.write(file, metadata);
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

// The mark of this picture: a text mark is drawn for it, its variables filled from the picture,
// and noted when one came out empty; otherwise the run's mark. A text drawn at the size the
// picture asks for is not scaled again.
RunWatermark& MarkFor(const StampRequest& request, const PictureReader& reader,
                      RunWatermark& watermark, std::optional<RunWatermark>& drawn,
                      QStringList& notes) {
    if (!request.text || request.text->text.isEmpty())
        return watermark;
    const QSize upright = OrientedSize(reader.size(), reader.orientation());
    const MarkTextValues values{request.inputPath, request.place, FactsOf(reader.metadata()),
                                QFileInfo(request.inputPath).lastModified(), upright};
    const FilledMarkText filled = FillMarkText(request.text->text, values);
    if (!filled.empty.isEmpty())
        notes << EmptyVariablesNote(filled.empty);
    QImage pixels = RenderTextMark(*request.text, filled.text, upright);
    if (pixels.isNull()) {
        pixels = QImage(1, 1, QImage::Format_ARGB32);
        pixels.fill(Qt::transparent);
    }
    StampStyle style = *request.style;
    style.scale = 0;
    drawn.emplace(StampMark(pixels, kWhite, style));
    return *drawn;
}

// Stamps the picture the way that suits it and puts the finished copy in place.
void StampAndCommit(const StampRequest& request, PictureReader& reader, StampResult& result,
                    RunWatermark& runMark, Stage& stage) {
    stage = Stage::Place;
    std::optional<RunWatermark> drawn;
    RunWatermark& watermark = MarkFor(request, reader, runMark, drawn, result.notes);
    stage = Stage::Decode;
    std::unique_ptr<LosslessJpeg> head = LosslessHeadFor(request, reader);
    stage = Stage::Place;
    const PictureWay way = WayFor(request, reader, head.get(), watermark);
    stage = Stage::Decode;
    MemoryBudget::Admission admission =
        request.budget ? request.budget->admit(way.need, way.upright) : MemoryBudget::Admission();
    const std::unique_ptr<LosslessJpeg> lossless =
        LosslessWayFor(std::move(head), request, reader, way.losslessFits, result.notes);
    if (lossless && request.budget)
        lossless->beforeAllBlocks([&] {
            // Given back first: a worker that waits holds no admission, so none waits on it.
            admission = MemoryBudget::Admission();
            admission = request.budget->admit(way.allBlocksNeed, way.upright);
        });
    const bool streams = way.streams && !lossless;
    if (!streams && !lossless && PixelCount(way.upright) > request.maxPixels)
        throw Failure(TooLargeText(way.upright, request.maxPixels));
    stage = Stage::Place;
    const StampMark mark = watermark.forPicture(way.upright.width(), way.visible);
    const QPoint at = mark.size() == way.visible.size() ? way.at + way.visible.topLeft() : way.at;
    stage = Stage::Write;
    MakeOutputFolder(request.folderToMake);
    OutputFile file(request.output.path);
    const Encoding encoding = lossless ? Encoding{} : EncodingFor(request, reader, way.upright);
    QImage picture;
    if (lossless)
        LosslessStamp(*lossless, reader, request, at, mark, file, stage, result.notes);
    else if (streams)
        StreamStamp(reader, file, request.output, encoding, at, mark, stage);
    else
        picture = WholeStamp(reader, file, request.output, encoding, at, mark, stage);
    result.notes << reader.notes() << encoding.notes;
    if (!request.formatNote.isEmpty())
        result.notes << request.formatNote;
    stage = Stage::Write;
    const bool marked = MarkCopy(file, request.mark);
    file.commit();
    if (!marked) {
        if (const QString reason = RecordMarkBeside(request.output.path, request.mark);
            !reason.isEmpty())
            result.notes << kMarkNotRecordedNote.arg(kMarksFileName, reason);
    }
    if (request.wantPicture)
        result.picture = lossless ? WrittenPicture(request) : FlattenOntoWhite(std::move(picture));
}
} // namespace

StampResult StampFile(const StampRequest& request, RunWatermark& watermark) {
    StampResult result;
    Stage stage = Stage::Decode;
    try {
        // Qt's own allocation limit follows the budget: what Qt decodes before the size is
        // known cannot take more than the run may use.
        LimitQtDecoding(request.budget
                            ? std::min(request.maxPixels, request.budget->total() / kBytesPerPixel)
                            : request.maxPixels);
        std::unique_ptr<PictureReader> reader = PictureReader::open(request.inputPath);
        // The marks are sized and placed on the picture as it is published.
        if (request.choices && request.choices->resize.resizes())
            reader = ResizeReader(std::move(reader), request.choices->resize);
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
