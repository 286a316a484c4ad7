// WebP, AVIF, JPEG XL and HEIC: each written and read back with its metadata, the turn a HEIC or
// AVIF stores applied as libheif applies it, the first frame of an animation with its note, what
// Automatic writes for each, and the command line over a folder of them.
#include "engine/io/metadata.h"
#include "engine/run/planner.h"
#include "engine/stamping/stamp.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <avif/avif.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

namespace {

// A picture whose halves are far apart in colour (red above, blue below) and whose quadrants
// differ, so that any turn or mirror shows.
QImage quadrants(int width, int height, bool alpha = false) {
    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool top = y < height / 2, left = x < width / 2;
            const int alphaValue = alpha && !left ? 128 : 255;
            image.setPixel(x, y,
                           qRgba(top ? 220 : 20, left ? 200 : 40, top ? 30 : 230, alphaValue));
        }
    return image;
}

QRgb centreOf(const QImage& image, double x, double y) {
    return image.pixel(int(x * image.width()), int(y * image.height()));
}

// The camera's metadata, read from a JPEG that carries it, as a copy of the given size gets it.
PictureMetadata cameraMetadata(const QString& folder, QSize size, bool strip) {
    const QString source = folder + QStringLiteral("/camera.jpg");
    writeFile(source, makeJpeg(photoLike(), 2, 2));
    addSampleMetadata(source);
    return MetadataForOutput(PictureReader::open(source)->metadata(), size, strip);
}

QString exifValue(const QByteArray& exif, const char* key) {
    Exiv2::ExifData data;
    if (!exif.isEmpty())
        Exiv2::ExifParser::decode(data, reinterpret_cast<const Exiv2::byte*>(exif.constData()),
                                  uint32_t(exif.size()));
    return exifText(data, key);
}

// A HEIC made with libheif's own HEVC encoder, turned by the orientation its file stores, with
// an EXIF that names the same orientation as a phone's does.
QByteArray makeHeic(const QImage& picture, heif_orientation orientation, const QByteArray& exif) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_image* image = nullptr;
    heif_image_create(picture.width(), picture.height(), heif_colorspace_RGB,
                      heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, picture.width(), picture.height(), 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = orientation;
    heif_image_handle* handle = nullptr;
    heif_context_encode_image(context, image, encoder, options, &handle);
    if (!exif.isEmpty())
        heif_context_add_exif_metadata(context, handle, exif.constData(), int(exif.size()));
    QByteArray bytes;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* target) {
                           static_cast<QByteArray*>(target)->append(static_cast<const char*>(data),
                                                                    qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context, &writer, &bytes);
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return bytes;
}

// An AVIF of the picture with a stored turn (quarter turns anticlockwise) and mirror (-1 none),
// or an animation of `frames` frames; near-lossless so that colours compare.
QByteArray makeAvif(const QImage& picture, int turns, int mirror, int frames = 1) {
    avifImage* image = avifImageCreate(uint32_t(picture.width()), uint32_t(picture.height()), 8,
                                       AVIF_PIXEL_FORMAT_YUV444);
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    const QImage pixels = picture.convertToFormat(QImage::Format_ARGB32);
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    rgb.pixels = const_cast<uint8_t*>(pixels.constBits());
    rgb.rowBytes = uint32_t(pixels.bytesPerLine());
    avifImageRGBToYUV(image, &rgb);
    image->transformFlags =
        (turns ? AVIF_TRANSFORM_IROT : 0) | (mirror >= 0 ? AVIF_TRANSFORM_IMIR : 0);
    image->irot.angle = uint8_t(turns);
    image->imir.mode = uint8_t(std::max(mirror, 0));
    avifEncoder* encoder = avifEncoderCreate();
    encoder->speed = AVIF_SPEED_FASTEST;
    encoder->minQuantizer = encoder->maxQuantizer = 4;
    for (int frame = 0; frame < frames; ++frame)
        avifEncoderAddImage(encoder, image, 1,
                            frames > 1 ? AVIF_ADD_IMAGE_FLAG_NONE : AVIF_ADD_IMAGE_FLAG_SINGLE);
    avifRWData output = AVIF_DATA_EMPTY;
    avifEncoderFinish(encoder, &output);
    const QByteArray bytes(reinterpret_cast<const char*>(output.data), qsizetype(output.size));
    avifRWDataFree(&output);
    avifEncoderDestroy(encoder);
    avifImageDestroy(image);
    return bytes;
}

// An animated WebP of two frames: the picture, then its colours inverted.
QByteArray makeAnimatedWebp(const QImage& picture) {
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(picture.width(), picture.height(), &options);
    QImage inverted = picture.convertToFormat(QImage::Format_ARGB32);
    inverted.invertPixels();
    int timestamp = 0;
    for (const QImage& frame : {picture.convertToFormat(QImage::Format_ARGB32), inverted}) {
        WebPPicture still;
        WebPPictureInit(&still);
        still.use_argb = 1;
        still.width = frame.width();
        still.height = frame.height();
        WebPPictureImportBGRA(&still, frame.constBits(), int(frame.bytesPerLine()));
        WebPAnimEncoderAdd(encoder, &still, timestamp, nullptr);
        WebPPictureFree(&still);
        timestamp += 100;
    }
    WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(encoder, &data);
    const QByteArray bytes(reinterpret_cast<const char*>(data.bytes), qsizetype(data.size));
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return bytes;
}

// A lossless JPEG XL of the picture whose codestream names the orientation.
QByteArray makeTurnedJxl(const QImage& picture, int orientation) {
    const JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(picture.width());
    info.ysize = uint32_t(picture.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = JXL_TRUE;
    info.orientation = JxlOrientation(orientation);
    JxlEncoderSetBasicInfo(encoder.get(), &info);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(encoder.get(), &srgb);
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, size_t(rgb.bytesPerLine())};
    JxlEncoderAddImageFrame(settings, &format, rgb.constBits(), size_t(rgb.sizeInBytes()));
    JxlEncoderCloseInput(encoder.get());
    QByteArray bytes(1 << 20, '\0');
    auto* next = reinterpret_cast<uint8_t*>(bytes.data());
    size_t available = size_t(bytes.size());
    JxlEncoderProcessOutput(encoder.get(), &next, &available);
    bytes.chop(qsizetype(available));
    return bytes;
}

// The picture as libheif shows it, turned by what the file stores.
QImage decodedByLibheif(const QByteArray& file) {
    heif_context* context = heif_context_alloc();
    heif_context_read_from_memory_without_copy(context, file.constData(), size_t(file.size()),
                                               nullptr);
    heif_image_handle* handle = nullptr;
    heif_context_get_primary_image_handle(context, &handle);
    heif_image* image = nullptr;
    heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    QImage picture(heif_image_get_width(image, heif_channel_interleaved),
                   heif_image_get_height(image, heif_channel_interleaved), QImage::Format_RGB888);
    for (int y = 0; y < picture.height(); ++y)
        std::memcpy(picture.scanLine(y), plane + y * stride, size_t(picture.width()) * 3);
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return picture.convertToFormat(QImage::Format_RGB32);
}

QImage upright(PictureReader& reader) {
    return Oriented(reader.readAll(), reader.orientation());
}

} // namespace

class TestFormats : public QObject, private CliFolders {
    Q_OBJECT

private slots:
    void initTestCase();
    void writtenAndReadBack_data();
    void writtenAndReadBack();
    void heicComesOutUpright();
    void avifTurnsAsLibheifDoes_data();
    void avifTurnsAsLibheifDoes();
    void jxlOrientationIsApplied();
    void animationGivesFirstFrameWithNote_data();
    void animationGivesFirstFrameWithNote();
    void automaticWritesEachInItsOwnFormat_data();
    void automaticWritesEachInItsOwnFormat();
    void cliStampsAFolderOfThem();

private:
    QString sample(const QString& name, const QByteArray& bytes) const {
        writeFile(dir_.filePath(name), bytes);
        return dir_.filePath(name);
    }

    QTemporaryDir dir_;
};

void TestFormats::initTestCase() {
    QVERIFY(dir_.isValid());
}

void TestFormats::writtenAndReadBack_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<bool>("strip");
    QTest::addColumn<double>("tolerance"); // mean error per channel at quality 90
    const std::pair<const char*, PictureFormat> formats[] = {
        {"webp", PictureFormat::Webp}, {"avif", PictureFormat::Avif}, {"jxl", PictureFormat::Jxl}};
    for (const auto& [name, format] : formats) {
        QTest::addRow("%s", name) << format << false << false << 4.0;
        QTest::addRow("%s alpha", name) << format << true << false << 4.0;
        QTest::addRow("%s stripped", name) << format << false << true << 4.0;
    }
}

// The copy's EXIF, XMP and colour profile come back as they went in, IPTC goes with a note, and
// stripping keeps the profile alone.
void TestFormats::writtenAndReadBack() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, alpha);
    QFETCH(bool, strip);
    QFETCH(double, tolerance);
    const QImage picture = quadrants(96, 64, alpha);
    const PictureMetadata input = cameraMetadata(dir_.path(), picture.size(), strip);
    PictureMetadata output = input;
    const QStringList notes = FitMetadata(input, output, format, strip);
    QCOMPARE(notes.join(u'|').contains(QLatin1String("IPTC left out")), !strip);
    QVERIFY(output.iptc.isEmpty());

    const QString file = sample(
        QStringLiteral("copy"),
        encoded(picture, format, output, JpegSettings{90, std::nullopt, std::nullopt, false}));
    const auto reader = PictureReader::open(file);
    QCOMPARE(reader->format(), format);
    QCOMPARE(reader->size(), picture.size());
    QCOMPARE(reader->hasAlpha(), alpha);
    QCOMPARE(reader->orientation(), 1);
    QVERIFY(reader->notes().isEmpty());
    // As the picture is seen: lossy coding leaves alpha near, not at, its values.
    const double error = meanError(FlattenOntoWhite(reader->readAll()), FlattenOntoWhite(picture));
    QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
    const PictureMetadata& back = reader->metadata();
    // JPEG XL stores a profile that describes standard sRGB as the sRGB it describes.
    QCOMPARE(back.icc, format == PictureFormat::Jxl ? QByteArray() : sampleIccProfile());
    QCOMPARE(exifValue(back.exif, "Exif.Image.Artist"), strip ? QString() : SampleMetadata::artist);
    QCOMPARE(back.xmp.contains(SampleMetadata::creator), !strip);
    if (!strip) {
        QCOMPARE(back.exif, output.exif);
        QCOMPARE(exifValue(back.exif, "Exif.Image.Orientation"), QStringLiteral("1"));
    }
}

// A phone's HEIC, stored on its side with a turn to show it upright, comes out of the command
// line upright as a JPEG, with its EXIF saying so and a note that it was not written as HEIC.
void TestFormats::heicComesOutUpright() {
    if (!heif_have_encoder_for_format(heif_compression_HEVC))
        QSKIP("libheif has no HEVC encoder here (its x265 plug-in is missing)");
    makeFolders();
    const QImage shown = quadrants(48, 64);
    // Stored turned a quarter anticlockwise; orientation 6 turns it back clockwise.
    const QImage stored = Oriented(shown, 8);
    const PictureMetadata camera = cameraMetadata(dir_.path(), stored.size(), false);
    PictureMetadata phone = camera;
    SetOrientation(phone, 6);
    const QString heic = in(QStringLiteral("phone.heic"));
    writeFile(heic,
              makeHeic(stored, heif_orientation_rotate_90_cw, QByteArray(4, '\0') + phone.exif));

    const auto reader = PictureReader::open(heic);
    QCOMPARE(reader->format(), PictureFormat::Heif);
    QCOMPARE(reader->size(), shown.size());
    QCOMPARE(reader->orientation(), 1);
    QCOMPARE(exifValue(reader->metadata().exif, "Exif.Image.Artist"), SampleMetadata::artist);
    QVERIFY(meanError(reader->readAll(), shown) < 6);

    const ProcessResult run = RunCli(base() + QStringList{"--format", "auto", heic});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.output.contains(kHeifAsJpegNote) || run.errors.contains(kHeifAsJpegNote),
             qPrintable(run.output + run.errors));
    const auto copy = PictureReader::open(out(QStringLiteral("phone.jpg")));
    QCOMPARE(copy->format(), PictureFormat::Jpeg);
    QCOMPARE(copy->orientation(), 1);
    const QImage written = upright(*copy);
    QCOMPARE(written.size(), shown.size());
    // Red above and blue below, away from the mark in the upper left.
    QVERIFY(qRed(centreOf(written, 0.75, 0.3)) > 150 && qBlue(centreOf(written, 0.75, 0.3)) < 100);
    QVERIFY(qBlue(centreOf(written, 0.75, 0.8)) > 150 && qRed(centreOf(written, 0.75, 0.8)) < 100);
}

void TestFormats::avifTurnsAsLibheifDoes_data() {
    QTest::addColumn<int>("turns");
    QTest::addColumn<int>("mirror");
    for (int turns = 0; turns < 4; ++turns)
        for (int mirror = -1; mirror <= 1; ++mirror)
            QTest::addRow("%d quarter turns, mirror %d", turns, mirror) << turns << mirror;
}

// The stored turn and mirror become the EXIF orientation that shows the picture as libheif,
// which applies them itself, shows it.
void TestFormats::avifTurnsAsLibheifDoes() {
    QFETCH(int, turns);
    QFETCH(int, mirror);
    const QByteArray avif = makeAvif(quadrants(40, 24), turns, mirror);
    const auto reader = PictureReader::open(sample(QStringLiteral("turned.avif"), avif));
    QCOMPARE(reader->format(), PictureFormat::Avif);
    const QImage ours = upright(*reader);
    const QImage theirs = decodedByLibheif(avif);
    QCOMPARE(ours.size(), theirs.size());
    QVERIFY2(meanError(ours, theirs) < 3, qPrintable(QString::number(meanError(ours, theirs))));
}

// A JPEG XL's own orientation is applied as an EXIF orientation would be, once.
void TestFormats::jxlOrientationIsApplied() {
    const QImage stored = quadrants(40, 24);
    const auto reader =
        PictureReader::open(sample(QStringLiteral("turned.jxl"), makeTurnedJxl(stored, 6)));
    QCOMPARE(reader->format(), PictureFormat::Jxl);
    QCOMPARE(reader->size(), stored.size());
    QCOMPARE(reader->orientation(), 6);
    QVERIFY(sameBytes(upright(*reader), Oriented(stored, 6)));
}

void TestFormats::animationGivesFirstFrameWithNote_data() {
    QTest::addColumn<QByteArray>("file");
    const QImage picture = quadrants(32, 32);
    QTest::newRow("webp") << makeAnimatedWebp(picture);
    QTest::newRow("avif") << makeAvif(picture, 0, -1, 2);
}

void TestFormats::animationGivesFirstFrameWithNote() {
    QFETCH(QByteArray, file);
    const auto reader = PictureReader::open(sample(QStringLiteral("animated"), file));
    QCOMPARE(reader->notes(), QStringList{kFirstFrameNote.arg(2)});
    QVERIFY(meanError(reader->readAll(), quadrants(32, 32)) < 6);
}

void TestFormats::automaticWritesEachInItsOwnFormat_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("noted");
    QTest::newRow("webp") << "a.webp"
                          << "/out/a.webp" << PictureFormat::Webp << false;
    QTest::newRow("avif, its spelling kept") << "a.AVIF"
                                             << "/out/a.AVIF" << PictureFormat::Avif << false;
    QTest::newRow("jxl") << "a.jxl"
                         << "/out/a.jxl" << PictureFormat::Jxl << false;
    QTest::newRow("heic") << "a.heic"
                          << "/out/a.jpg" << PictureFormat::Jpeg << true;
    QTest::newRow("HEIF") << "a.HEIF"
                          << "/out/a.jpg" << PictureFormat::Jpeg << true;
}

void TestFormats::automaticWritesEachInItsOwnFormat() {
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(PictureFormat, format);
    QFETCH(bool, noted);
    WatermarkJob job;
    job.OutputFolder = QStringLiteral("/out");
    const std::optional<OutputPlan> plan = PlanOutput(job, QStringLiteral("/in/") + input);
    QVERIFY(plan);
    QCOMPARE(plan->path, output);
    QCOMPARE(plan->format, format);
    QCOMPARE(FormatNote(job, input), noted ? kHeifAsJpegNote : QString());
}

// A folder of the newer formats is stamped whole: every picture found, read and written in its
// own format.
void TestFormats::cliStampsAFolderOfThem() {
    makeFolders();
    const QImage picture = quadrants(64, 48);
    QDir().mkpath(in(QStringLiteral("photos")));
    for (const auto& [name, format] :
         {std::pair{"a.webp", PictureFormat::Webp}, std::pair{"b.avif", PictureFormat::Avif},
          std::pair{"c.jxl", PictureFormat::Jxl}})
        writeFile(in(QStringLiteral("photos/") + name), encoded(picture, format));
    const ProcessResult run =
        RunCli(base() + QStringList{"--format", "auto", in(QStringLiteral("photos"))});
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    for (const char* name : {"a.webp", "b.avif", "c.jxl"}) {
        const auto copy = PictureReader::open(out(QLatin1String(name)));
        QCOMPARE(copy->size(), picture.size());
    }
}

QTEST_GUILESS_MAIN(TestFormats)
#include "tst_formats.moc"
