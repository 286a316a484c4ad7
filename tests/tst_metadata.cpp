// Metadata blocks that point into one another: Photoshop resources beside the IPTC, extended XMP
// and its pointer, a maker note's preview and its pointers, carried into copies as exiv2 and our
// own reader read them.
#include "engine/io/metadata.h"
#include "engine/io/picturereader.h"
#include "tests/codecsamples.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <cstring>

namespace {

// Resolution info: 72 dpi across and down, as Photoshop stores it.
const QByteArray kResolution = QByteArray::fromHex("00480000000100010048000000010001");
const QByteArray kCaption("A caption of odd length");
const QByteArray kThumbnailBytes("stale thumbnail of the picture before its stamp");

QByteArray sampleIptc() {
    Exiv2::IptcData iptc;
    iptc["Iptc.Application2.Byline"] = std::string(SampleMetadata::byline);
    const Exiv2::DataBuf encoded = Exiv2::IptcParser::encode(iptc);
    return QByteArray(reinterpret_cast<const char*>(encoded.pData_), qsizetype(encoded.size_));
}

// The resources a copy keeps, in their order.
QByteArray keptResources() {
    return photoshopResource(0x03ED, kResolution) + photoshopResource(0x03F0, kCaption);
}

QByteArray jpegWithPhotoshop() {
    const QByteArray resources =
        photoshopResource(0x03ED, kResolution) + photoshopResource(0x040C, kThumbnailBytes) +
        photoshopFromIptc(sampleIptc()) + photoshopResource(0x0425, QByteArray(16, '\x5A')) +
        photoshopResource(0x03F0, kCaption);
    return jpegWithSegments(makeJpeg(photoLike(), 2, 2), {{0xED, photoshopSegment(resources)}});
}

// EXIF of a camera whose maker note holds a preview of the picture: NIKON's in an IFD of its own,
// OM's (Olympus) as a start and length in its camera settings.
QByteArray makerNoteExif(const QString& make) {
    Exiv2::ExifData exif;
    QByteArray preview(600, '\x55');
    preview[0] = char(0xFF);
    preview[1] = char(0xD8);
    Exiv2::ULongValue start;
    start.read("0");
    start.setDataArea(reinterpret_cast<const Exiv2::byte*>(preview.constData()),
                      long(preview.size()));
    exif["Exif.Image.Model"] = "Camera";
    if (make == "NIKON") {
        exif["Exif.Image.Make"] = "NIKON CORPORATION";
        exif["Exif.Nikon3.Quality"] = "FINE";
        exif["Exif.Nikon3.WhiteBalance"] = "AUTO";
        exif["Exif.NikonPreview.Compression"] = uint16_t(6);
        exif["Exif.NikonPreview.JPEGInterchangeFormat"] = start;
        exif["Exif.NikonPreview.JPEGInterchangeFormatLength"] = uint32_t(preview.size());
    } else {
        exif["Exif.Image.Make"] = "OM Digital Solutions";
        exif["Exif.Olympus2.Quality"] = uint16_t(2);
        exif["Exif.OlympusCs.ExposureMode"] = uint16_t(3);
        exif["Exif.OlympusCs.PreviewImageValid"] = uint32_t(1);
        exif["Exif.OlympusCs.PreviewImageStart"] = start;
        exif["Exif.OlympusCs.PreviewImageLength"] = uint32_t(preview.size());
    }
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return QByteArray(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size()));
}

struct Copy {
    PictureMetadata input;
    PictureMetadata output;
    QStringList notes;
    QString path;
};

} // namespace

class TestMetadata : public QObject {
    Q_OBJECT

private slots:
    void photoshopResourcesAreReadOneByOne_data();
    void photoshopResourcesAreReadOneByOne();
    void photoshopResourcesBesideIptcSurvive_data();
    void photoshopResourcesBesideIptcSurvive();
    void extendedXmpNeverDangles_data();
    void extendedXmpNeverDangles();
    void makerNotePreviewGoesWithItsPointers_data();
    void makerNotePreviewGoesWithItsPointers();

private:
    // The JPEG read, its metadata made for a copy of the given format and the copy written.
    Copy copied(const QByteArray& jpeg, PictureFormat format, bool strip) const {
        const QString input = dir_.filePath(QStringLiteral("input.jpg"));
        writeFile(input, jpeg);
        auto reader = PictureReader::open(input);
        Copy copy;
        copy.input = reader->metadata();
        copy.output = MetadataForOutput(copy.input, reader->size(), strip);
        copy.notes = FitMetadata(copy.input, copy.output, format, strip);
        copy.path = dir_.filePath(QStringLiteral("copy"));
        writeFile(copy.path, encoded(reader->readAll(), format, copy.output));
        return copy;
    }

    QTemporaryDir dir_;
};

void TestMetadata::photoshopResourcesAreReadOneByOne_data() {
    QTest::addColumn<QByteArray>("resources");
    QTest::addColumn<QByteArray>("kept");
    const QByteArray resolution = photoshopResource(0x03ED, kResolution);
    const QByteArray caption = photoshopResource(0x03F0, kCaption);
    const QByteArray iptc = photoshopFromIptc(sampleIptc());
    QByteArray named = resolution;
    named.replace(6, 2,
                  QByteArray("\x03"
                             "abc",
                             4)); // a name of three letters, padded to four
    QTest::newRow("iptc and thumbnails go")
        << iptc + resolution + photoshopResource(0x0409, "old") +
               photoshopResource(0x040C, kThumbnailBytes)
        << resolution;
    QTest::newRow("odd data keeps its padding") << caption + resolution << caption + resolution;
    QTest::newRow("padding missing at the end")
        << resolution + caption.chopped(1) << resolution + caption;
    QTest::newRow("named resource") << named + iptc << named;
    QByteArray tooLong = caption;
    tooLong[11] = char(0x7F); // its size beyond the data
    QTest::newRow("damaged size ends the reading") << resolution + tooLong << resolution;
    QTest::newRow("not resources") << QByteArray("garbage and more garbage") << QByteArray();
}

void TestMetadata::photoshopResourcesAreReadOneByOne() {
    QFETCH(QByteArray, resources);
    QFETCH(QByteArray, kept);
    QCOMPARE(photoshopWithoutIptc(resources).toHex(), kept.toHex());
}

void TestMetadata::photoshopResourcesBesideIptcSurvive_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("strip");
    QTest::newRow("jpeg") << PictureFormat::Jpeg << false;
    QTest::newRow("jpeg stripped") << PictureFormat::Jpeg << true;
    QTest::newRow("png keeps the iptc") << PictureFormat::Png << false;
}

// A JPEG copy keeps every resource but the IPTC, written anew, and those that describe the
// picture before its stamp; stripping leaves none.
void TestMetadata::photoshopResourcesBesideIptcSurvive() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, strip);
    const Copy copy = copied(jpegWithPhotoshop(), format, strip);
    QCOMPARE(copy.input.photoshop.toHex(), keptResources().toHex());
    QVERIFY(copy.notes.isEmpty());
    const QByteArray written = readFile(copy.path);
    QVERIFY(!written.contains(kThumbnailBytes));
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(copy.path).toStdString());
    image->readMetadata();
    QCOMPARE(iptcText(image->iptcData(), "Iptc.Application2.Byline"),
             strip ? QString() : SampleMetadata::byline);
    const bool kept = format == PictureFormat::Jpeg && !strip;
    QCOMPARE(written.contains(keptResources()), kept);
    QCOMPARE(written.contains(kCaption), kept);
    if (kept)
        QCOMPARE(PictureReader::open(copy.path)->metadata().photoshop.toHex(),
                 keptResources().toHex());
}

void TestMetadata::extendedXmpNeverDangles_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("strip");
    QTest::addColumn<bool>("withExtension");
    QTest::newRow("jpeg keeps it whole") << PictureFormat::Jpeg << false << true;
    QTest::newRow("png takes it into its packet") << PictureFormat::Png << false << true;
    QTest::newRow("tiff takes it into its packet") << PictureFormat::Tiff << false << true;
    QTest::newRow("stripped") << PictureFormat::Jpeg << true << true;
    QTest::newRow("pointer to nothing goes") << PictureFormat::Jpeg << false << false;
}

void TestMetadata::extendedXmpNeverDangles() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, strip);
    QFETCH(bool, withExtension);
    const ExtendedXmpSample sample = extendedXmpSample();
    QList<QPair<int, QByteArray>> segments{
        {0xE1, QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) + sample.packet}};
    if (withExtension)
        for (const QByteArray& segment : sample.segments)
            segments.append({0xE1, segment});
    const Copy copy =
        copied(jpegWithSegments(makeJpeg(photoLike(), 2, 2), segments), format, strip);
    QCOMPARE(copy.input.extendedXmp.size(), withExtension ? sample.segments.size() : 0);
    QVERIFY(copy.notes.isEmpty());

    auto image = Exiv2::ImageFactory::open(QFile::encodeName(copy.path).toStdString());
    image->readMetadata();
    const Exiv2::XmpData& xmp = image->xmpData();
    const QString pointer = xmpText(xmp, "Xmp.xmpNote.HasExtendedXMP");
    const QString subject = xmpText(xmp, "Xmp.dc.subject");
    const QString last = ExtendedXmpSample::keyword(ExtendedXmpSample::keywords - 1);
    QCOMPARE(xmpText(xmp, "Xmp.dc.creator").isEmpty(), strip);
    if (strip) {
        QVERIFY(!readFile(copy.path).contains(sample.guid));
    } else if (format == PictureFormat::Jpeg && withExtension) {
        QCOMPARE(pointer, QString::fromLatin1(sample.guid));
        QList<QByteArray> bodies;
        for (const QByteArray& segment : sample.segments)
            bodies << segment.mid(35);
        QCOMPARE(PictureReader::open(copy.path)->metadata().extendedXmp, bodies);
    } else {
        QVERIFY2(pointer.isEmpty(), qPrintable(pointer));
        QCOMPARE(subject.contains(last), withExtension);
    }
}

void TestMetadata::makerNotePreviewGoesWithItsPointers_data() {
    QTest::addColumn<QString>("make");
    QTest::addColumn<QStringList>("previewKeys");
    QTest::newRow("nikon") << QStringLiteral("NIKON")
                           << QStringList{"Exif.Nikon3.Preview",
                                          "Exif.NikonPreview.JPEGInterchangeFormat",
                                          "Exif.NikonPreview.JPEGInterchangeFormatLength"};
    QTest::newRow("olympus") << QStringLiteral("OM")
                             << QStringList{"Exif.OlympusCs.PreviewImageValid",
                                            "Exif.OlympusCs.PreviewImageStart",
                                            "Exif.OlympusCs.PreviewImageLength"};
}

// The preview shows the picture before its stamp: it goes with every tag that points at it, and
// every other tag of the maker note stays as it was, without a note about tags left out.
void TestMetadata::makerNotePreviewGoesWithItsPointers() {
    QFETCH(QString, make);
    QFETCH(QStringList, previewKeys);
    const QByteArray jpeg =
        jpegWithSegments(makeJpeg(photoLike(), 2, 2), {{0xE1, exifSegment(makerNoteExif(make))}});
    const Copy copy = copied(jpeg, PictureFormat::Jpeg, false);
    QVERIFY2(copy.notes.isEmpty(), qPrintable(copy.notes.join('\n')));
    Exiv2::ExifData input;
    Exiv2::ExifParser::decode(input, reinterpret_cast<const Exiv2::byte*>(copy.input.exif.data()),
                              uint32_t(copy.input.exif.size()));
    for (const QString& key : previewKeys)
        QVERIFY2(!exifText(input, qPrintable(key)).isEmpty(), qPrintable(key));

    auto image = Exiv2::ImageFactory::open(QFile::encodeName(copy.path).toStdString());
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    for (const QString& key : previewKeys)
        QVERIFY2(exifText(exif, qPrintable(key)).isEmpty(), qPrintable(key));
    int makerTags = 0;
    for (const Exiv2::Exifdatum& datum : input) {
        const QString key = QString::fromStdString(datum.key());
        if (!Exiv2::ExifTags::isMakerGroup(datum.groupName()) || previewKeys.contains(key) ||
            datum.groupName() == "NikonPreview" || datum.groupName() == "MakerNote")
            continue;
        ++makerTags;
        QCOMPARE(exifText(exif, datum.key().c_str()), QString::fromStdString(datum.toString()));
    }
    QVERIFY(makerTags >= 2);
    Exiv2::PreviewManager previews(*image);
    QVERIFY(previews.getPreviewProperties().empty());
}

QTEST_GUILESS_MAIN(TestMetadata)
#include "tst_metadata.moc"
