// One image's way: open, orient, stamp by bands, whole or losslessly, encode, commit.
#include "engine/run/stampfile.h"

#include "engine/io/colourprofile.h"
#include "engine/io/grayprofile.h"
#include "engine/io/metadata.h"
#include "engine/io/palette.h"
#include "engine/io/picturefacts.h"
#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"
#include "engine/io/resize.h"
#include "engine/run/memoryneed.h"
#include "engine/run/outputfile.h"
#include "engine/run/provenance.h"
#include "engine/stamping/cmykstamp.h"
#include "engine/stamping/jpeglossless.h"
#include "engine/stamping/markshape.h"
#include "engine/stamping/marksource.h"
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

qint64 PixelCount(QSize size) {
    return qint64(size.width()) * qint64(size.height());
}

bool CarriesMetadata(PictureFormat format) {
    return format != PictureFormat::Gif && format != PictureFormat::Bmp;
}

QString TooManyFramesText(int frames, QSize size, qint64 maxPixels) {
    return QStringLiteral("too many frames: %1 frames of %2 x %3 pixels (%4 megapixels in all) are "
                          "more than the %5 megapixels allowed")
        .arg(frames)
        .arg(size.width())
        .arg(size.height())
        .arg(double(frames) * double(PixelCount(size)) / 1e6, 0, 'f', 1)
        .arg(double(maxPixels) / 1e6, 0, 'f', 1);
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
    bool gray = false; // a JPEG or PNG of grey levels alone
    TiffSettings tiff;
    PictureMetadata metadata;
    QStringList notes; // what of the metadata the copy's format could not hold
    // A palette picture's colours, which its PNG copy keeps when the stamped colours fit.
    QList<QRgb> palette;
};

// The marks of one picture, finished for it, each with the places of its copies.
using Plans = std::vector<StampPlan>;

void StreamStamp(PictureReader& reader, OutputFile& file, const OutputPlan& output,
                 const Encoding& encoding, const Plans& plans, Stage& stage) {
    const QSize size = reader.size();
    const bool alphaOut = reader.hasAlpha() && KeepsAlpha(output.format);
    stage = Stage::Write;
    const std::unique_ptr<RowWriter> writer =
        output.format == PictureFormat::Jpeg
            ? StartJpegWriter(file, size, encoding.jpeg, encoding.metadata, encoding.gray)
        : output.format == PictureFormat::Webp
            ? StartWebpWriter(file, size, alphaOut, encoding.jpeg.quality, encoding.metadata)
            : StartPngWriter(file, size, alphaOut, encoding.metadata, encoding.gray);
    const qsizetype bytesPerLine = qsizetype(size.width()) * kBytesPerPixel;
    const auto band = std::make_unique_for_overwrite<uchar[]>(size_t(bytesPerLine) * kBandRows);
    for (int y = 0; y < size.height(); y += kBandRows) {
        const int count = std::min(kBandRows, size.height() - y);
        stage = Stage::Decode;
        reader.readRows(band.get(), bytesPerLine, count);
        if (reader.hasAlpha() && !alphaOut)
            FlattenRows(band.get(), bytesPerLine, size.width(), count);
        for (const StampPlan& plan : plans)
            StampRows(band.get(), bytesPerLine, y, count, size.width(), alphaOut, plan);
        stage = Stage::Write;
        writer->writeRows(band.get(), bytesPerLine, count);
    }
    writer->finish();
}

QImage WholeStamp(PictureReader& reader, OutputFile& file, const OutputPlan& output,
                  const Encoding& encoding, const Plans& plans, Stage& stage) {
    stage = Stage::Decode;
    QImage picture = DecodePicture(reader, KeepsAlpha(output.format));
    for (const StampPlan& plan : plans)
        StampImage(picture, plan);
    stage = Stage::Write;
    if (output.format == PictureFormat::Tiff) {
        WriteTiff(picture, file, encoding.tiff, encoding.metadata);
        return picture;
    }
    const QImage indexed =
        encoding.palette.isEmpty() ? QImage() : IndexedOn(picture, encoding.palette);
    WritePicture(indexed.isNull() ? picture : indexed, output.format, file, encoding.jpeg,
                 encoding.metadata, encoding.gray);
    return picture;
}

// How a CMYK picture's copy keeps its inks: the marks' colours taken into them, and the copy's
// inks shown for a preview. Null conversions are the plain reading of a picture without a profile.
struct CmykInks {
    std::shared_ptr<const ColourConversion> toCmyk;
    std::shared_ptr<const ColourConversion> toSrgb;
};

// A CMYK picture's JPEG or TIFF copy at its own size stays CMYK with its profile: only the marks'
// pixels change, in its own inks. A profile that lcms2 cannot take colours into leaves the copy
// RGB, read through the profile as before (so does a resized picture, whose reader gives RGB).
std::optional<CmykInks> CmykCopyFor(const StampRequest& request, const PictureReader& reader) {
    const PictureFormat format = request.output.format;
    if (!reader.cmyk() || (format != PictureFormat::Jpeg && format != PictureFormat::Tiff))
        return std::nullopt;
    const QByteArray& icc = reader.metadata().icc;
    if (icc.isEmpty())
        return CmykInks{};
    CmykInks inks{SrgbToAdobeCmyk(icc), AdobeCmykToSrgb(icc)};
    if (!inks.toCmyk || !inks.toSrgb)
        return std::nullopt;
    return inks;
}

// The CMYK picture stamped whole in its inks; what it shows, in RGB, when `shown` asks for it.
QImage CmykStamp(PictureReader& reader, const CmykInks& inks, OutputFile& file,
                 const Encoding& encoding, const Plans& plans, bool shown, Stage& stage) {
    stage = Stage::Decode;
    QImage picture = Oriented(reader.readCmyk(), reader.orientation());
    for (const StampPlan& plan : plans)
        StampCmyk(picture, plan, inks.toCmyk.get());
    stage = Stage::Write;
    if (encoding.tiff.cmyk)
        WriteTiff(picture, file, encoding.tiff, encoding.metadata);
    else
        WriteCmykJpeg(picture, file, encoding.jpeg, encoding.metadata);
    return shown ? CmykShown(picture, inks.toSrgb.get()) : QImage();
}

// Every frame of a picture that holds several, each stamped whole with the same marks (the
// frames share the picture's size), one frame held at a time.
QImage FramesStamp(FrameSequence& frames, int orientation, OutputFile& file,
                   const OutputPlan& output, const Encoding& encoding, const Plans& plans,
                   Stage& stage) {
    QImage first;
    stage = Stage::Write;
    frames.startWriting(file, encoding.metadata);
    for (int i = 0; i < frames.count(); ++i) {
        stage = Stage::Decode;
        QImage frame = Oriented(frames.frame(i), orientation);
        if (!KeepsAlpha(output.format))
            frame = FlattenOntoWhite(std::move(frame));
        for (const StampPlan& plan : plans)
            StampImage(frame, plan);
        stage = Stage::Write;
        frames.writeFrame(frame);
        if (i == 0)
            first = std::move(frame);
    }
    frames.finish();
    return first;
}

// The colour profile of the copy's pixels, which are RGB: the picture's pixels' own, but never
// one that describes other pixels or that cannot be read, which would show the copy wrong.
QByteArray CopyProfile(const PictureReader& reader, QStringList& notes) {
    const QByteArray profile = reader.colourProfile();
    const QString refusal = ProfileRefusalForRgb(profile);
    if (refusal.isEmpty())
        return profile;
    notes << QStringLiteral("colour profile left out: %1, and the copy's are RGB").arg(refusal);
    return {};
}


// Whether every mark is grey wherever it shows: red, green and blue equal in each of its pixels
// that is not fully transparent. Stamped on a grey picture, such marks leave it grey.
bool GreyMarks(const Plans& plans) {
    for (const StampPlan& plan : plans) {
        if (plan.places.empty() || plan.mark.isNull())
            continue;
        const QImage& given = plan.mark.pixels();
        const QImage pixels = given.format() == QImage::Format_ARGB32
                                  ? given
                                  : given.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < pixels.height(); ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
            for (int x = 0; x < pixels.width(); ++x)
                if (qAlpha(row[x]) != 0 &&
                    (qRed(row[x]) != qGreen(row[x]) || qGreen(row[x]) != qBlue(row[x])))
                    return false;
        }
    }
    return true;
}

// A grey picture's JPEG, PNG or TIFF copy stays grey, with its grey profile, when the marks on it
// are grey, at 16 bits when it keeps them. Its frames go the way that keeps them, in colour.
bool GrayCopy(const StampRequest& request, const PictureReader& reader, const Plans& plans,
              bool frames) {
    const PictureFormat format = request.output.format;
    const QByteArray& icc = reader.metadata().icc;
    return reader.gray() && !frames &&
           (format == PictureFormat::Jpeg || format == PictureFormat::Png ||
            format == PictureFormat::Tiff) &&
           (icc.isEmpty() || IsGrayProfile(icc)) && GreyMarks(plans);
}

const QString kGrayProfileUnreadNote =
    QStringLiteral("colour profile left out: lcms2 cannot read the greyscale profile to give the "
                   "colour copy a matching one");

// The copy of a JPEG keeps the picture's own quantisation tables when `--quality keep` asks for
// them, or when the lossless way was chosen but re-encodes it (a CMYK or greyscale JPEG): the
// nearest the copy comes to the picture's quality. At a quality, a JPEG's copy keeps its chroma
// sampling. A copy of a progressive JPEG is progressive. A copy in CMYK keeps the CMYK profile.
Encoding EncodingFor(const StampRequest& request, const PictureReader& reader, QSize upright,
                     const Plans& plans, bool frames, bool losslessRefused, bool cmyk) {
    Encoding encoding;
    encoding.gray = GrayCopy(request, reader, plans, frames);
    encoding.jpeg.quality = request.choices->jpegQuality;
    const bool jpegOut = request.output.format == PictureFormat::Jpeg;
    const std::optional<JpegTables> tables = reader.jpegTables();
    const bool ownTables = request.choices->keepJpegQuality || losslessRefused;
    if (ownTables)
        encoding.jpeg.tables = tables;
    else if (jpegOut)
        encoding.jpeg.sampling = tables;
    encoding.jpeg.progressive = jpegOut && tables && tables->progressive;
    if (jpegOut && ownTables && !tables)
        encoding.notes << kPlainQualityNote.arg(encoding.jpeg.quality);
    encoding.tiff = reader.tiffSettings().value_or(TiffSettings{});
    // The profile below is chosen for grey or colour pixels: the TIFF writer follows the choice.
    encoding.tiff.gray = encoding.gray;
    encoding.tiff.cmyk = cmyk && request.output.format == PictureFormat::Tiff;
    if (CarriesMetadata(request.output.format)) {
        encoding.metadata =
            MetadataForOutput(reader.metadata(), upright, request.choices->stripMetadata);
        encoding.metadata.icc = cmyk ? reader.metadata().icc : CopyProfile(reader, encoding.notes);
        // A colour copy's profile describes colour pixels: one whose grey axis is the grey
        // profile's shows the picture's pixels as they were.
        if (!encoding.gray && IsGrayProfile(encoding.metadata.icc)) {
            encoding.metadata.icc = RgbProfileForGray(encoding.metadata.icc);
            if (encoding.metadata.icc.isEmpty())
                encoding.notes << kGrayProfileUnreadNote;
        }
        encoding.notes += FitMetadata(reader.metadata(), encoding.metadata, request.output.format,
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

namespace {
// Whether the lossless way may take the picture: chosen, JPEG to JPEG, and its blocks fit in the
// budget. A resized picture has new blocks throughout.
bool LosslessWanted(const StampRequest& request, const PictureReader& reader) {
    return request.choices->losslessJpeg && !request.choices->resize.resizes() &&
           reader.format() == PictureFormat::Jpeg && request.output.format == PictureFormat::Jpeg;
}

// The lossless way's reading of the picture's head when that way is chosen for it; nothing
// otherwise. Copies spread over the picture (a tile, several marks) go through all of its
// blocks, and their need counts them so.
std::unique_ptr<LosslessJpeg> LosslessHeadFor(const StampRequest& request,
                                              const PictureReader& reader, bool oneCopy) {
    if (!LosslessWanted(request, reader))
        return nullptr;
    return std::make_unique<LosslessJpeg>(request.inputPath, oneCopy);
}

// The picture's lossless way when it takes the picture; nothing otherwise, with a note when the
// lossless way was chosen for a JPEG that it cannot take.
std::unique_ptr<LosslessJpeg> LosslessWayFor(std::unique_ptr<LosslessJpeg> jpeg,
                                             const StampRequest& request,
                                             const PictureReader& reader, bool fits,
                                             const Plans& plans, QStringList& notes) {
    if (!jpeg)
        return nullptr;
    const QString refusal =
        jpeg->refusal(reader.orientation(), request.choices->stripMetadata,
                      fits ? request.maxPixels : 0, reader.gray() && GreyMarks(plans));
    if (refusal.isEmpty())
        return jpeg;
    notes << kReencodedNote.arg(refusal);
    return nullptr;
}

// One mark on the picture: unsized, its placement and style, and where its copies land.
struct MarkWay {
    StampMark mark;
    bool text = false;
    int placement = 0;
    StampStyle style;
    QSize box;                  // the finished mark's size
    std::vector<QPoint> places; // its copies' top-left corners, top to bottom
    QRect visible;              // of a lone copy, the part on the picture, in the mark's own pixels
};

// How the picture goes, what it holds on its way, and where its marks land on it.
struct PictureWay {
    QSize upright;
    bool streams = false;
    bool losslessFits = false;
    qint64 need = 0;
    // What a spliced picture takes when its splice fails and it goes through all of its blocks.
    qint64 allBlocksNeed = 0;
    QList<MarkWay> marks;

    size_t copies() const {
        size_t count = 0;
        for (const MarkWay& mark : marks)
            count += mark.places.size();
        return count;
    }
};

// Whether the picture's PNG copy may keep its palette: its colours are counted once it is
// stamped whole, which a palette picture is small enough for, short of the ceiling on whole
// pictures (beyond it, the copy streams as RGB).
bool KeepsPalette(const StampRequest& request, const PictureReader& reader) {
    return request.output.format == PictureFormat::Png && !reader.palette().isEmpty() &&
           PixelCount(reader.size()) <= request.maxPixels;
}

qint64 PictureNeed(const StampRequest& request, const PictureReader& reader,
                   const LosslessJpeg* lossless, PictureWay& way) {
    const qint64 normal = way.streams
                              ? StreamNeed(reader, request.output.format)
                              : WholeNeed(reader, request.output.format) +
                                    (request.wantPicture ? ShownNeed(reader) : 0) +
                                    (KeepsPalette(request, reader) ? PaletteNeed(reader) : 0);
    qint64 mark = 0;
    for (const MarkWay& markWay : way.marks)
        mark += MarkNeed(markWay.visible.size());
    if (!lossless)
        return normal + mark;
    const qint64 shown = request.wantPicture ? WholeNeed(reader, PictureFormat::Jpeg) : 0;
    way.allBlocksNeed = LosslessNeed(reader, QFileInfo(request.inputPath).size()) + shown + mark;
    // A spliced picture holds the blocks around its one mark, not the picture's.
    QSize storedMark;
    for (const MarkWay& markWay : way.marks)
        if (markWay.places.size() == 1)
            storedMark = StoredRect(QRect(markWay.places.front() + markWay.visible.topLeft(),
                                          markWay.visible.size()),
                                    reader.size(), reader.orientation())
                             .size();
    const qint64 need =
        lossless->spliced() ? lossless->bytesNeeded(storedMark) + shown + mark : way.allBlocksNeed;
    way.losslessFits = !request.budget || need <= request.budget->total();
    return way.losslessFits ? std::max(need, normal + mark) : normal + mark;
}

// The text of a mark drawn for the picture, its variables filled from it, with a note when one
// came out empty. Null when nothing is drawn (a font that cannot be had).
QImage DrawnText(const TextStyle& text, const StampRequest& request, const PictureReader& reader,
                 QSize upright, QStringList& notes) {
    const MarkTextValues values{request.inputPath, request.place, FactsOf(reader.metadata()),
                                QFileInfo(request.inputPath).lastModified(), upright};
    const FilledMarkText filled = FillMarkText(text.text, values);
    if (!filled.empty.isEmpty())
        notes << EmptyVariablesNote(filled.empty);
    return RenderTextMark(text, filled.text, upright);
}

// The picture's marks, a text drawn for it, unsized: the first placed as the request says.
QList<MarkWay> MarksFor(const StampRequest& request, const PictureReader& reader, QSize upright,
                        const RunWatermark& watermark, QStringList& notes) {
    QList<MarkWay> marks;
    for (qsizetype i = 0; i < watermark.layers().size(); ++i) {
        const RunMarkLayer& layer = watermark.layers().at(i);
        MarkWay way;
        way.mark = layer.mark;
        way.placement = layer.placement;
        way.style = layer.style;
        const TextStyle* text = &layer.text;
        if (i == 0) {
            way.placement = request.placement;
            way.style = *request.style;
            if (request.text && !request.text->text.isEmpty())
                text = request.text;
        }
        way.text = !text->text.isEmpty();
        if (way.text) {
            // A text takes the size its style gives it, whatever the scale.
            StampStyle textStyle = way.style;
            textStyle.scale = 0;
            const QImage drawn = DrawnText(*text, request, reader, upright, notes);
            if (drawn.isNull())
                continue;
            way.mark = StampMark(PixelsMarkSource(drawn), textStyle);
        }
        marks << way;
    }
    return marks;
}

PictureWay WayFor(const StampRequest& request, const PictureReader& reader,
                  const RunWatermark& watermark, QStringList& notes) {
    PictureWay way;
    way.upright = OrientedSize(reader.size(), reader.orientation());
    const PictureFormat format = request.output.format;
    way.streams = !request.wantPicture && reader.canStream() && reader.orientation() == 1 &&
                  !KeepsPalette(request, reader) &&
                  (format == PictureFormat::Jpeg || format == PictureFormat::Png ||
                   (format == PictureFormat::Webp && WritesFormat(format)));
    const QRect picture(QPoint(0, 0), way.upright);
    way.marks = MarksFor(request, reader, way.upright, watermark, notes);
    for (MarkWay& mark : way.marks) {
        mark.box = mark.mark.sizeFor(way.upright);
        mark.places = MarkPlaces(mark.placement, way.upright, mark.mark.drawnSizeFor(way.upright),
                                 mark.box, mark.style);
        mark.visible = QRect(QPoint(0, 0), mark.box);
        // A turned mark is made whole (see StampMark::partForPicture).
        if (mark.places.size() == 1 && NormalTurn(mark.style.rotation) == 0)
            mark.visible = QRect(mark.places.front(), mark.box)
                               .intersected(picture)
                               .translated(-mark.places.front());
    }
    return way;
}

// The marks finished for the picture and in its colours (its pixels' profile), each copy at its
// place.
Plans PlansFor(const PictureWay& way, RunWatermark& watermark, const QByteArray& profile) {
    Plans plans;
    for (qsizetype i = 0; i < way.marks.size(); ++i) {
        const MarkWay& markWay = way.marks.at(i);
        StampPlan plan{markWay.text
                           ? markWay.mark.forPicture(way.upright).inColours(profile)
                           : watermark.forPicture(i, way.upright, markWay.visible, profile),
                       markWay.places};
        // A mark made only where it lands starts there.
        if (plan.mark.size() != markWay.box && plan.places.size() == 1)
            plan.places.front() += markWay.visible.topLeft();
        plans.push_back(std::move(plan));
    }
    return plans;
}

void LosslessStamp(LosslessJpeg& jpeg, const PictureReader& reader, const StampRequest& request,
                   const Plans& plans, OutputFile& file, Stage& stage, QStringList& notes) {
    stage = Stage::Decode;
    jpeg.read();
    // A spliced picture's scan is read as the mark's blocks are taken from it.
    jpeg.stamp(plans, reader.orientation());
    // A tile over most of the picture codes most of it anew: hardly the lossless way the user
    // chose. (A lone mark larger than the picture is the user's own evident choice.)
    constexpr double kMostlyRecoded = 0.5;
    size_t copies = 0;
    for (const StampPlan& plan : plans)
        copies += plan.places.size();
    if (copies > 1 && jpeg.stampedShare() > kMostlyRecoded)
        notes << kMostlyRecodedNote.arg(std::lround(jpeg.stampedShare() * 100));
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

// Stamps the picture the way that suits it and puts the finished copy in place.
void StampAndCommit(const StampRequest& request, PictureReader& reader, StampResult& result,
                    RunWatermark& watermark, Stage& stage) {
    stage = Stage::Place;
    PictureWay way = WayFor(request, reader, watermark, result.notes);
    stage = Stage::Decode;
    std::unique_ptr<LosslessJpeg> head = LosslessHeadFor(request, reader, way.copies() <= 1);
    stage = Stage::Place;
    way.need = PictureNeed(request, reader, head.get(), way);
    stage = Stage::Decode;
    MemoryBudget::Admission admission =
        request.budget ? request.budget->admit(way.need, way.upright) : MemoryBudget::Admission();
    // The marks finished for the picture tell whether a grey picture stays grey.
    stage = Stage::Place;
    const Plans plans = PlansFor(way, watermark, reader.colourProfile());
    stage = Stage::Decode;
    const std::unique_ptr<LosslessJpeg> lossless =
        LosslessWayFor(std::move(head), request, reader, way.losslessFits, plans, result.notes);
    if (lossless && request.budget)
        lossless->beforeAllBlocks([&] {
            // Given back first: a worker that waits holds no admission, so none waits on it.
            admission = MemoryBudget::Admission();
            admission = request.budget->admit(way.allBlocksNeed, way.upright);
        });
    const bool streams = way.streams && !lossless;
    if (!streams && !lossless && PixelCount(way.upright) > request.maxPixels)
        throw Failure(TooLargeText(way.upright, request.maxPixels));
    stage = Stage::Write;
    MakeOutputFolder(request.folderToMake);
    OutputFile file(request.output.path);
    stage = Stage::Decode;
    const std::unique_ptr<FrameSequence> frames =
        lossless ? nullptr : reader.frames(request.output.format);
    const std::optional<CmykInks> cmyk =
        lossless || frames ? std::nullopt : CmykCopyFor(request, reader);
    stage = Stage::Write;
    Encoding encoding = lossless ? Encoding{}
                                 : EncodingFor(request, reader, way.upright, plans,
                                               frames != nullptr, LosslessWanted(request, reader),
                                               cmyk.has_value());
    if (!streams && !frames && KeepsPalette(request, reader))
        encoding.palette = reader.palette();
    QImage picture;
    // Each frame is composed, stamped and compared whole: the work of them all is held to the
    // ceiling one picture is.
    if (frames && qint64(frames->count()) * PixelCount(way.upright) > request.maxPixels)
        throw Failure(TooManyFramesText(frames->count(), way.upright, request.maxPixels));
    if (lossless)
        LosslessStamp(*lossless, reader, request, plans, file, stage, result.notes);
    else if (cmyk)
        picture = CmykStamp(reader, *cmyk, file, encoding, plans, request.wantPicture, stage);
    else if (frames)
        picture = FramesStamp(*frames, reader.orientation(), file, request.output, encoding, plans,
                              stage);
    else if (streams)
        StreamStamp(reader, file, request.output, encoding, plans, stage);
    else
        picture = WholeStamp(reader, file, request.output, encoding, plans, stage);
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
        result.picture =
            lossless ? WrittenPicture(request) : EightBits(FlattenOntoWhite(std::move(picture)));
}
// A picture of 16 bits a channel is stamped at 16 bits, whole, for a copy that keeps them; a copy
// of 8 bits or a resized one, and a picture too large to hold whole (which streams as it always
// could), take its rows at 8 bits as they come.
bool KeepsDepth(const StampRequest& request, const PictureReader& reader, bool resizes) {
    const PictureFormat format = request.output.format;
    return reader.depth() > 8 && KeepsSixteenBits(format) && !resizes &&
           PixelCount(reader.size()) <= request.maxPixels &&
           (!request.budget || WholeNeed(reader, format) <= request.budget->total());
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
        const bool resizes = request.choices && request.choices->resize.resizes();
        if (!KeepsDepth(request, *reader, resizes))
            reader->useEightBits();
        // The marks are sized and placed on the picture as it is published.
        if (resizes)
            reader = ResizeReader(std::move(reader), request.choices->resize);
        // A picture decoded whole before it is made smaller is held at its own size.
        if (const auto* resizing = dynamic_cast<const ResizingReader*>(reader.get());
            resizing && !resizing->source().canStream() &&
            PixelCount(resizing->source().size()) > request.maxPixels)
            throw Failure(TooLargeText(resizing->source().size(), request.maxPixels));
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
