// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "engine/io/colourprofile.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/colourkit.h"
#include "tests/graysamples.h"
#include "tests/tiffsamples.h"

#include <QTest>

#include <algorithm>
#include <functional>

#include <tiff.h>

namespace {
// One kind of picture: how the test makes it, the options its run takes beyond the watermark and
// the output folder, and what its copy must keep. `check` fails the test through QVERIFY and
// QCOMPARE; a case whose options name --watermark stamps that mark instead of the usual one.
struct FaithfulCase {
    const char* file; // the picture's name in the input folder
    std::function<void(const QString& path)> make;
    QStringList options;
    std::function<void(const QString& input, const QString& copy)> check;
};

// A copy written with the picture's own quantisation tables: each of its components takes the
// table of the picture's component of the same place, or, in a colour copy of a greyscale or
// CMYK picture, the luminance the first one's and the chromas the second one's (the first's
// when the picture has no other).
void KeepsOwnTables(const QString& input, const QString& copy) {
    const std::optional<JpegTables> own = PictureReader::open(input)->jpegTables();
    const std::optional<JpegTables> kept = PictureReader::open(copy)->jpegTables();
    QVERIFY(own && kept);
    const auto tableOf = [](const JpegTables& tables, int c) {
        return tables.tables[size_t(tables.componentTable[size_t(c)])];
    };
    const int last = own->components - 1;
    for (int c = 0; c < kept->components; ++c) {
        const int from = kept->components == own->components ? c : std::min(c, std::min(1, last));
        QCOMPARE(tableOf(*kept, c), tableOf(*own, from));
    }
    // The quality-75 table the copy would have had without them.
    QVERIFY(tableOf(*kept, 0) != standardTable(kDefaultJpegQuality, 0));
}

QList<FaithfulCase> Cases() {
    return {
        {"sampling444.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 1, 1)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QCOMPARE(blocks.components[0].h, 1);
             QCOMPARE(blocks.components[0].v, 1);
         }},
        // A grey mark on a grey JPEG leaves it grey: one component, its own table kept.
        {"gray-keep.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 60, JpegKind::Gray));
             writeGrayMark(path);
         },
         {"--quality", "keep"},
         [](const QString& input, const QString& copy) {
             const auto reader = PictureReader::open(copy);
             QVERIFY(reader->gray());
             const std::optional<JpegTables> own = PictureReader::open(input)->jpegTables();
             const std::optional<JpegTables> kept = reader->jpegTables();
             QVERIFY(own && kept);
             QCOMPARE(kept->components, 1);
             QCOMPARE(kept->tables[size_t(kept->componentTable[0])],
                      own->tables[size_t(own->componentTable[0])]);
         }},
        // A coloured mark makes the copy colour: the grey table quantises all three channels.
        {"gray-keep-colour-mark.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 60, JpegKind::Gray));
         },
         {"--quality", "keep"},
         [](const QString& input, const QString& copy) {
             const std::optional<JpegTables> own = PictureReader::open(input)->jpegTables();
             const std::optional<JpegTables> kept = PictureReader::open(copy)->jpegTables();
             QVERIFY(own && kept);
             QCOMPARE(kept->components, 3);
             for (int c = 0; c < 3; ++c)
                 QCOMPARE(kept->tables[size_t(kept->componentTable[size_t(c)])],
                          own->tables[size_t(own->componentTable[0])]);
         }},
        // Stamped losslessly, a grey JPEG keeps every block the grey mark leaves alone.
        {"gray-lossless.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(320, 240), 1, 1, 90, JpegKind::Gray));
             writeGrayMark(path);
         },
         {"--jpeg", "lossless"},
         [](const QString& input, const QString& copy) {
             const JpegBlocksRead before = readJpegBlocks(input);
             const JpegBlocksRead after = readJpegBlocks(copy);
             QCOMPARE(after.components.size(), size_t(1));
             const JpegBlocksRead::Component& blocks = after.components[0];
             QCOMPARE(blocks.wide, before.components[0].wide);
             int changed = 0;
             for (int y = 0; y < blocks.high; ++y)
                 for (int x = 0; x < blocks.wide; ++x)
                     changed += !std::equal(after.block(0, x, y),
                                            after.block(0, x, y) + JpegBlocksRead::kBlockSize,
                                            before.block(0, x, y));
             QVERIFY(changed > 0);
             QVERIFY(changed < blocks.wide * blocks.high / 4);
         }},
        // A 16-bit grey PNG under a grey mark stays 16-bit grey, every level the mark leaves alone
        // kept.
        {"grey16.png",
         [](const QString& path) {
             QImage grey(64, 48, QImage::Format_Grayscale16);
             for (int y = 0; y < grey.height(); ++y) {
                 auto* line = reinterpret_cast<quint16*>(grey.scanLine(y));
                 for (int x = 0; x < grey.width(); ++x)
                     line[x] = quint16(x * 1021 + y * 331 + 7);
             }
             QVERIFY(grey.save(path, "png"));
             writeGrayMark(path);
         },
         {},
         [](const QString& input, const QString& copy) {
             const std::unique_ptr<PictureReader> reader = PictureReader::open(copy);
             QVERIFY(reader->gray());
             QCOMPARE(reader->depth(), 16);
             const QImage was = PictureReader::open(input)->readAll();
             const QImage is = reader->readAll();
             QCOMPARE(is.size(), was.size());
             int kept = 0;
             for (int y = 0; y < was.height(); ++y)
                 for (int x = 0; x < was.width(); ++x)
                     kept += was.pixelColor(x, y).rgba64() == is.pixelColor(x, y).rgba64();
             // The grey mark's 20 x 4 drawn pixels alone differ.
             QCOMPARE(was.width() * was.height() - kept, 80);
             QCOMPARE(pngColorType(copy), 0);
         }},
        // A grey PNG with its grey profile stays grey under a grey mark, the profile kept.
        {"gray-profile.png",
         [](const QString& path) {
             writeGrayPng(path, photoLike(), grayProfile());
             writeGrayMark(path);
         },
         {},
         [](const QString& input, const QString& copy) {
             QCOMPARE(pngColorType(copy), 0);
             QCOMPARE(PictureReader::open(copy)->metadata().icc,
                      PictureReader::open(input)->metadata().icc);
         }},
        // Under a coloured mark it becomes RGB, with a profile that shows its greys as before.
        {"gray-profile-colour-mark.png",
         [](const QString& path) { writeGrayPng(path, photoLike(), grayProfile()); },
         {},
         [](const QString& input, const QString& copy) {
             QCOMPARE(pngColorType(copy), 2);
             const double difference =
                 grayAxisDifference(PictureReader::open(input)->metadata().icc,
                                    PictureReader::open(copy)->metadata().icc);
             QVERIFY2(difference < 1, qPrintable(QString::number(difference)));
         }},
        {"animated.gif",
         [](const QString& path) {
             // Three frames of their own delays, the second over part of the screen and cleared
             // (disposal 2) after it is shown.
             QList<GifFrameSample> frames;
             for (const auto& [rect, delay] : {std::pair{QRect(0, 0, 48, 32), 10},
                                               {QRect(8, 4, 20, 16), 35},
                                               {QRect(24, 12, 24, 20), 70}}) {
                 GifFrameSample frame;
                 frame.rect = rect;
                 frame.delay = delay;
                 frame.disposal = frames.size() == 1 ? 2 : 1;
                 frame.transparent = 0;
                 for (int y = 0; y < rect.height(); ++y)
                     for (int x = 0; x < rect.width(); ++x)
                         frame.indices.push_back(uchar(1 + (x / 3 + y / 2 + delay) % 3));
                 frames << frame;
             }
             writeFile(path, makeAnimatedGif(
                                 QSize(48, 32),
                                 {0, qRgb(240, 240, 240), qRgb(30, 90, 200), qRgb(200, 170, 20)},
                                 frames, 0));
         },
         {},
         [](const QString& input, const QString& copy) {
             const QtAnimation picture = qtFrames(input);
             const QtAnimation copied = qtFrames(copy);
             QCOMPARE(copied.frames.size(), 3);
             QCOMPARE(copied.delays, picture.delays);
             QCOMPARE(copied.loops, picture.loops);
         }},
        {"progressive.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 2, 2, 85, JpegKind::Progressive));
         },
         {},
         [](const QString&, const QString& copy) {
             QVERIFY(readJpegBlocks(copy).progressive);
         }},
        {"baseline.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 2, 2)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QVERIFY(!blocks.progressive);
         }},
        // A CMYK JPEG's JPEG copy stays CMYK, with its own tables when asked.
        {"cmyk-keep.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 2, 2, 40, JpegKind::AdobeCmyk));
         },
         {"--quality", "keep"},
         [](const QString& input, const QString& copy) {
             KeepsOwnTables(input, copy);
             const std::unique_ptr<PictureReader> reader = PictureReader::open(copy);
             QVERIFY(reader->cmyk());
             QVERIFY(reader->metadata().icc.isEmpty());
         }},
        {"grey-keep.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 40, JpegKind::Gray));
         },
         {"--quality", "keep"},
         KeepsOwnTables},
        {"lzw-300dpi.tif",
         [](const QString& path) {
             TiffSamplePage page;
             page.image = photoLike(120, 90);
             page.compression = COMPRESSION_LZW;
             page.predictor = PREDICTOR_HORIZONTAL;
             page.xResolution = page.yResolution = 300;
             writeFile(path, makeTiff({page}));
         },
         {},
         [](const QString&, const QString& copy) {
             const QList<TiffPageFacts> pages = tiffFacts(copy);
             QCOMPARE(pages.size(), 1);
             QCOMPARE(pages[0].compression, COMPRESSION_LZW);
             QCOMPARE(pages[0].predictor, PREDICTOR_HORIZONTAL);
             QCOMPARE(pages[0].resolutionUnit, RESUNIT_INCH);
             QCOMPARE(pages[0].xResolution, 300.0f);
             QCOMPARE(pages[0].yResolution, 300.0f);
         }},
        // A 16-bit TIFF is stamped at 16 bits: its copy is 16-bit, stored as it was, and every
        // level the mark leaves alone is kept.
        {"deep16.tif",
         [](const QString& path) {
             QImage deep(60, 40, QImage::Format_RGBX64);
             for (int y = 0; y < deep.height(); ++y)
                 for (int x = 0; x < deep.width(); ++x)
                     deep.setPixelColor(x, y,
                                        QColor::fromRgba64(quint16(x * 1021 + 3),
                                                           quint16(y * 1531 + 5),
                                                           quint16((x + y) * 617 + 7)));
             TiffSamplePage page;
             page.image = deep;
             page.compression = COMPRESSION_ADOBE_DEFLATE;
             page.predictor = PREDICTOR_HORIZONTAL;
             writeFile(path, makeTiff({page}));
         },
         {},
         [](const QString& input, const QString& copy) {
             const QList<TiffPageFacts> pages = tiffFacts(copy);
             QCOMPARE(pages.size(), 1);
             QCOMPARE(pages[0].bits, 16);
             QCOMPARE(pages[0].compression, COMPRESSION_ADOBE_DEFLATE);
             QCOMPARE(pages[0].predictor, PREDICTOR_HORIZONTAL);
             const QImage was = PictureReader::open(input)->readAll();
             const QImage is = PictureReader::open(copy)->readAll();
             QCOMPARE(is.size(), was.size());
             int kept = 0;
             for (int y = 0; y < was.height(); ++y)
                 for (int x = 0; x < was.width(); ++x)
                     kept += was.pixelColor(x, y).rgba64() == is.pixelColor(x, y).rgba64();
             // The mark's eight red pixels alone differ; everything else keeps every level.
             QCOMPARE(was.width() * was.height() - kept, 8);
         }},
        {"two-pages.tif",
         [](const QString& path) {
             TiffSamplePage first, second;
             first.image = photoLike(120, 90);
             first.compression = COMPRESSION_ADOBE_DEFLATE;
             second.image = photoLike(120, 90).mirrored();
             second.compression = COMPRESSION_PACKBITS;
             writeFile(path, makeTiff({first, second}));
         },
         {},
         [](const QString& input, const QString& copy) {
             const QList<TiffPageFacts> before = tiffFacts(input);
             const QList<TiffPageFacts> after = tiffFacts(copy);
             QCOMPARE(after.size(), 2);
             for (int i = 0; i < 2; ++i) {
                 QCOMPARE(after[i].size, before[i].size);
                 QCOMPARE(after[i].compression, before[i].compression);
             }
         }},
        // A wide-gamut picture keeps its profile, and a pure red mark lands as the same red in
        // the picture's colours.
        {"adobergb.jpg",
         [](const QString& path) {
             QImage grey(160, 120, QImage::Format_RGB32);
             grey.fill(qRgb(128, 128, 128));
             writeFile(path, withIccProfile(makeJpeg(grey, 1, 1, 95), adobeRgbProfile()));
             writeRedMarkBeside(path);
         },
         {"--quality", "100"},
         [](const QString&, const QString& copy) {
             const QByteArray adobe = adobeRgbProfile();
             QCOMPARE(PictureReader::open(copy)->metadata().icc, adobe);
             // The 24 rows of whole blocks inside the mark, at least, survive the JPEG coding.
             QVERIFY(pixelsNear(readWhole(copy), adobe, referenceColour(kPureRed, {}, adobe)) >=
                     24 * 40);
         }},
        {"displayp3.png",
         [](const QString& path) {
             QImage grey(160, 120, QImage::Format_RGB32);
             grey.fill(qRgb(128, 128, 128));
             writeFile(path, encoded(grey, PictureFormat::Png,
                                     MetadataOf({}, {}, {}, displayP3Profile())));
             writeRedMarkBeside(path);
         },
         {},
         [](const QString&, const QString& copy) {
             const QByteArray p3 = displayP3Profile();
             QCOMPARE(PictureReader::open(copy)->metadata().icc, p3);
             QCOMPARE(pixelsNear(readWhole(copy), p3, referenceColour(kPureRed, {}, p3)), 40 * 30);
         }},
        // A CMYK JPEG read through its profile comes out in sRGB, and says so.
        {"cmyk-profile.jpg",
         [](const QString& path) {
             writeFile(path, withIccProfile(makeJpeg(photoLike(), 1, 1, 95, JpegKind::AdobeCmyk),
                                            naiveCmykProfile()));
         },
         {"--format", "png"},
         [](const QString& input, const QString& copy) {
             const QByteArray profile = PictureReader::open(copy)->metadata().icc;
             QCOMPARE(int(KindOfProfile(profile)), int(ProfileKind::Rgb));
             QVERIFY(IsSrgbEquivalent(profile));
             // The profile gives the colours of Qt's naive reading, up to its table's steps.
             const double error = meanError(readWhole(copy), qtDecode(input, false));
             QVERIFY2(error < 2, qPrintable(QString::number(error)));
         }},
        // Its JPEG copy keeps the picture's inks and profile; the mark's red is taken into the
        // inks as lcms2 takes it.
        {"cmyk-inks.jpg",
         [](const QString& path) {
             QImage grey(160, 120, QImage::Format_RGB32);
             grey.fill(qRgb(128, 128, 128));
             writeFile(path, withIccProfile(makeJpeg(grey, 1, 1, 95, JpegKind::AdobeCmyk),
                                            naiveCmykProfile(true)));
             writeRedMarkBeside(path);
         },
         {"--quality", "100"},
         [](const QString& input, const QString& copy) {
             const QByteArray profile = naiveCmykProfile(true);
             const std::unique_ptr<PictureReader> reader = PictureReader::open(copy);
             QVERIFY(reader->cmyk());
             QCOMPARE(reader->metadata().icc, profile);
             QCOMPARE(reader->jpegTables()->ycck, PictureReader::open(input)->jpegTables()->ycck);
             const QImage inks = reader->readCmyk();
             QVERIFY(inksNear(inks, profile, referenceInks(kPureRed, profile)) >= 24 * 40);
         }},
        // A CMYK TIFF's copy keeps its inks: only the mark's pixels change, to the inks the
        // plain reading gives its red from.
        {"cmyk.tif",
         [](const QString& path) {
             TiffSamplePage page;
             page.image = QImage(160, 120, QImage::Format_RGB32);
             page.image.fill(qRgb(128, 100, 60));
             page.cmyk = true;
             page.compression = COMPRESSION_LZW;
             writeFile(path, makeTiff({page}));
             writeRedMarkBeside(path);
         },
         {},
         [](const QString& input, const QString& copy) {
             const QList<TiffPageFacts> pages = tiffFacts(copy);
             QCOMPARE(pages.size(), 1);
             QCOMPARE(pages[0].photometric, PHOTOMETRIC_SEPARATED);
             QCOMPARE(pages[0].samples, 4);
             QCOMPARE(pages[0].compression, COMPRESSION_LZW);
             const QImage was = PictureReader::open(input)->readCmyk();
             const QImage is = PictureReader::open(copy)->readCmyk();
             QCOMPARE(is.size(), was.size());
             int changed = 0;
             for (int y = 0; y < was.height(); ++y)
                 for (int x = 0; x < was.width(); ++x)
                     if (was.pixel(x, y) != is.pixel(x, y)) {
                         QCOMPARE(is.pixel(x, y), qRgba(255, 0, 0, 255));
                         ++changed;
                     }
             QCOMPARE(changed, 40 * 30);
         }},
        {"cmyk-bare.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 95, JpegKind::AdobeCmyk));
         },
         {"--format", "png"},
         [](const QString&, const QString& copy) {
             QVERIFY(PictureReader::open(copy)->metadata().icc.isEmpty());
         }},
        // A profile that cannot be read says nothing true of the copy's pixels.
        {"broken-profile.jpg",
         [](const QString& path) {
             writeFile(path, withIccProfile(makeJpeg(photoLike(), 2, 2), QByteArray(300, 'x')));
         },
         {},
         [](const QString& input, const QString& copy) {
             QCOMPARE(PictureReader::open(input)->metadata().icc, QByteArray(300, 'x'));
             QVERIFY(PictureReader::open(copy)->metadata().icc.isEmpty());
         }},
        {"photoshop.jpg",
         [](const QString& path) {
             Exiv2::IptcData iptc;
             iptc["Iptc.Application2.Byline"] = std::string(SampleMetadata::byline);
             const Exiv2::DataBuf data = Exiv2::IptcParser::encode(iptc);
             const QByteArray resources =
                 photoshopResource(0x03ED,
                                   QByteArray::fromHex("00480000000100010048000000010001")) +
                 photoshopFromIptc(
                     QByteArray(reinterpret_cast<const char*>(data.pData_), qsizetype(data.size_)));
             writeFile(path, jpegWithSegments(makeJpeg(photoLike(), 2, 2),
                                              {{0xED, photoshopSegment(resources)}}));
         },
         {},
         [](const QString& input, const QString& copy) {
             const PictureMetadata kept = PictureReader::open(copy)->metadata();
             QCOMPARE(kept.photoshop, PictureReader::open(input)->metadata().photoshop);
             QVERIFY(kept.photoshop.startsWith("8BIM\x03\xED"));
             QVERIFY(!kept.iptc.isEmpty());
             QCOMPARE(kept.iptc, PictureReader::open(input)->metadata().iptc);
         }},
        {"extended-xmp.jpg",
         [](const QString& path) { writeFile(path, jpegWithExtendedXmp(extendedXmpSample())); },
         {},
         [](const QString& input, const QString& copy) {
             const PictureMetadata kept = PictureReader::open(copy)->metadata();
             QCOMPARE(kept.extendedXmp, PictureReader::open(input)->metadata().extendedXmp);
             QCOMPARE(kept.extendedXmp.size(), extendedXmpSample().segments.size());
             QVERIFY(kept.xmp.contains(extendedXmpSample().guid));
         }},
        {"extended-xmp-to-png.jpg",
         [](const QString& path) { writeFile(path, jpegWithExtendedXmp(extendedXmpSample())); },
         {"--format", "png"},
         [](const QString&, const QString& copy) {
             const QByteArray xmp = PictureReader::open(copy)->metadata().xmp;
             QVERIFY(!xmp.contains("HasExtendedXMP"));
             QVERIFY(xmp.contains(
                 ExtendedXmpSample::keyword(ExtendedXmpSample::keywords - 1).toLatin1()));
         }},
        // 16 bits a channel kept: every level the mark leaves alone, bit for bit.
        {"deep16.png",
         [](const QString& path) {
             QImage deep(60, 40, QImage::Format_RGBX64);
             for (int y = 0; y < deep.height(); ++y)
                 for (int x = 0; x < deep.width(); ++x)
                     reinterpret_cast<QRgba64*>(deep.scanLine(y))[x] = QRgba64::fromRgba64(
                         quint16(x * 1091 + y), quint16(y * 1601 + 3), quint16(x * y * 29), 65535);
             WriteImage(deep, path, "png");
         },
         {},
         [](const QString& input, const QString& copy) {
             const QByteArray bytes = readFile(copy);
             QCOMPARE(uchar(bytes.at(24)), uchar(16)); // bit depth
             QCOMPARE(uchar(bytes.at(25)), uchar(2));  // RGB
             const QImage before = QImage(input).convertToFormat(QImage::Format_RGBA64);
             const QImage after = QImage(copy).convertToFormat(QImage::Format_RGBA64);
             QCOMPARE(after.size(), before.size());
             int marked = 0;
             for (int y = 0; y < before.height(); ++y)
                 for (int x = 0; x < before.width(); ++x) {
                     const QRgba64 was = reinterpret_cast<const QRgba64*>(before.scanLine(y))[x];
                     const QRgba64 is = reinterpret_cast<const QRgba64*>(after.scanLine(y))[x];
                     if (quint64(was) == quint64(is))
                         continue;
                     QCOMPARE(quint64(is), quint64(QRgba64::fromRgba(220, 20, 20, 255)));
                     ++marked;
                 }
             QCOMPARE(marked, 8); // the mark's red line
         }},
        // Beyond the ceiling on whole pictures, a 16-bit PNG streams at 8 bits as it always could.
        {"deep16-beyond.png",
         [](const QString& path) {
             QImage deep(60, 40, QImage::Format_RGBX64);
             deep.fill(QColor(90, 120, 150));
             WriteImage(deep, path, "png");
         },
         {"--max-megapixels", "0.001"},
         [](const QString&, const QString& copy) {
             QCOMPARE(uchar(readFile(copy).at(24)), uchar(8)); // bit depth
         }},
        // A palette picture's copy stays a palette, its colours in their order, the mark's after.
        {"palette.png",
         [](const QString& path) {
             QImage indexed(120, 80, QImage::Format_Indexed8);
             QList<QRgb> colors;
             for (int i = 0; i < 32; ++i)
                 colors << qRgb(i * 8, 255 - i * 8, (i * 40) % 256);
             indexed.setColorTable(colors);
             for (int y = 0; y < indexed.height(); ++y)
                 for (int x = 0; x < indexed.width(); ++x)
                     indexed.setPixel(x, y, uint((x / 7 + y / 5) % 32));
             WriteImage(indexed, path, "png");
         },
         {},
         [](const QString& input, const QString& copy) {
             const QByteArray bytes = readFile(copy);
             QCOMPARE(uchar(bytes.at(25)), uchar(3)); // palette
             QVERIFY2(bytes.size() < readFile(input).size() * 3 / 2,
                      qPrintable(QString::number(bytes.size())));
             const QList<QRgb> before = PictureReader::open(input)->palette();
             const QList<QRgb> after = PictureReader::open(copy)->palette();
             QCOMPARE(after, QList<QRgb>(before) << qRgb(220, 20, 20));
             const QImage was = QImage(input).convertToFormat(QImage::Format_RGB32);
             const QImage is = QImage(copy).convertToFormat(QImage::Format_RGB32);
             int marked = 0;
             for (int y = 0; y < was.height(); ++y)
                 for (int x = 0; x < was.width(); ++x)
                     if (was.pixel(x, y) != is.pixel(x, y)) {
                         QCOMPARE(is.pixel(x, y), qRgb(220, 20, 20));
                         ++marked;
                     }
             QCOMPARE(marked, 8);
         }},
    };
}
} // namespace

class TestFaithful : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void copyKeepsWhatThePictureHolds_data();
    void copyKeepsWhatThePictureHolds();
};

void TestFaithful::copyKeepsWhatThePictureHolds_data() {
    QTest::addColumn<int>("index");
    const QList<FaithfulCase> cases = Cases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases.at(i).file) << i;
}

void TestFaithful::copyKeepsWhatThePictureHolds() {
    QFETCH(int, index);
    const FaithfulCase row = Cases().at(index);
    const QString input = in(QString::fromLatin1(row.file));
    row.make(input);
    QStringList arguments = row.options.contains(QStringLiteral("--watermark"))
                                ? QStringList{"--output", out().chopped(1)}
                                : base();
    arguments << row.options << input;
    const ProcessResult run = RunCli(arguments);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QStringList copies = QDir(out()).entryList(QDir::Files, QDir::Name);
    QCOMPARE(copies.size(), 1);
    row.check(input, out(copies.front()));
}

QTEST_GUILESS_MAIN(TestFaithful)
#include "tst_faithful.moc"
