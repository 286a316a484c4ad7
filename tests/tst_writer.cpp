#include "engine/run/writer.h"
#include "support/failure.h"
#include "tests/testkit.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace {

// The program's fifth output format, BMP, has no MIME type: SavePicture writes it.
const QString kBmp;

// Saves with SavePicture for BMP and the encoder table otherwise; the reason on failure.
bool save(const QImage& image, const QString& path, const QString& mimeType, QString* reason) {
    if (!mimeType.isEmpty())
        return SaveBitmapWithEncoder(image, path, mimeType, reason);
    try {
        SavePicture(image, path);
        return true;
    } catch (const Failure& failure) {
        *reason = failure.text();
        return false;
    }
}

// An image of exactly `colors` distinct colours (at most 512), odd-sized so that no line ends
// on a word boundary.
QImage patterned(int colors, QImage::Format format = QImage::Format_RGB32) {
    QImage image(37, 23, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int i = (y * image.width() + x) % colors;
            image.setPixel(x, y, qRgb((i * 37) % 256, (i * 91 + 7) % 256, (i % 256) ^ (i / 256)));
        }
    return image.convertToFormat(format);
}

QImage gradient() {
    QImage image(160, 120, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 255 / 159, y * 255 / 119, (x + y) * 255 / 278));
    return image;
}

QImage decode(const QString& path) {
    return QImageReader(path).read().convertToFormat(QImage::Format_RGB32);
}

int bmpBitsPerPixel(const QString& path) {
    QFile file(path);
    const QByteArray header = file.open(QIODevice::ReadOnly) ? file.read(30) : QByteArray();
    if (header.size() < 30 || !header.startsWith("BM"))
        return 0;
    return quint8(header.at(28)) | quint8(header.at(29)) << 8;
}

double meanError(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

const QString kOut = QStringLiteral("out");
const QString kFolder = QStringLiteral("folder");

const QList<std::pair<const char*, QString>> kFormats = {
    {"bmp", kBmp}, {"png", kMimePng}, {"tiff", kMimeTiff}, {"gif", kMimeGif}, {"jpeg", kMimeJpeg}};

} // namespace

class TestWriter : public QObject {
    Q_OBJECT

private slots:
    void roundTripReplacesEarlierFile_data();
    void roundTripReplacesEarlierFile();
    void lookupIgnoresCase_data();
    void lookupIgnoresCase();
    void unknownTypeWritesNothing_data();
    void unknownTypeWritesNothing();
    void failedWriteKeepsEarlierFile_data();
    void failedWriteKeepsEarlierFile();
};

void TestWriter::roundTripReplacesEarlierFile_data() {
    QTest::addColumn<QString>("mimeType");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<double>("tolerance"); // mean error per channel; 0 means pixel-exact
    QTest::newRow("bmp") << kBmp << gradient() << 0.0;
    QTest::newRow("bmp from indexed") << kBmp << patterned(12, QImage::Format_Indexed8) << 0.0;
    QTest::newRow("png") << kMimePng << gradient() << 0.0;
    QTest::newRow("png from rgb888") << kMimePng << patterned(300, QImage::Format_RGB888) << 0.0;
    QTest::newRow("tiff") << kMimeTiff << gradient() << 0.0;
    QTest::newRow("gif one colour") << kMimeGif << SolidImage(5, 3, qRgb(9, 200, 77)) << 0.0;
    QTest::newRow("gif 3 colours") << kMimeGif << patterned(3) << 0.0;
    QTest::newRow("gif 200 colours") << kMimeGif << patterned(200) << 0.0;
    QTest::newRow("gif 256 colours") << kMimeGif << patterned(256) << 0.0;
    QTest::newRow("gif from grayscale")
        << kMimeGif << patterned(200, QImage::Format_Grayscale8) << 0.0;
    QTest::newRow("gif 257 colours") << kMimeGif << patterned(257) << 6.0;
    QTest::newRow("gif gradient") << kMimeGif << gradient() << 10.0;
    QTest::newRow("jpeg") << kMimeJpeg << gradient() << 2.0;
}

// Each write lands on a path that already holds another picture, as a second batch run would.
void TestWriter::roundTripReplacesEarlierFile() {
    QFETCH(QString, mimeType);
    QFETCH(QImage, image);
    QFETCH(double, tolerance);
    QTemporaryDir dir;
    const QString path = dir.filePath(kOut);
    WriteImage(SolidImage(40, 30, qRgb(255, 0, 0)), path, "png");
    QString reason;
    QVERIFY2(save(image, path, mimeType, &reason), qPrintable(reason));
    QCOMPARE(entries(dir.path()), QStringList{kOut});
    if (mimeType == kBmp)
        QCOMPARE(bmpBitsPerPixel(path), 24);
    const QImage expected = image.convertToFormat(QImage::Format_RGB32);
    const QImage decoded = decode(path);
    QCOMPARE(decoded.size(), expected.size());
    if (tolerance == 0)
        QCOMPARE(decoded, expected);
    else
        QVERIFY2(meanError(decoded, expected) <= tolerance,
                 qPrintable(QString::number(meanError(decoded, expected))));
}

void TestWriter::lookupIgnoresCase_data() {
    QTest::addColumn<QString>("mimeType");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("lower") << QStringLiteral("image/png") << QByteArray("png");
    QTest::newRow("upper") << QStringLiteral("IMAGE/PNG") << QByteArray("png");
    QTest::newRow("mixed") << QStringLiteral("Image/Png") << QByteArray("png");
    QTest::newRow("jpeg") << QStringLiteral("image/JPEG") << QByteArray("jpeg");
    QTest::newRow("gif") << QStringLiteral("IMAGE/gif") << QByteArray("gif");
    QTest::newRow("tiff") << QStringLiteral("image/Tiff") << QByteArray("tiff");
}

// The written file's content, not its name, shows which encoder the type found.
void TestWriter::lookupIgnoresCase() {
    QFETCH(QString, mimeType);
    QFETCH(QByteArray, format);
    EncoderClsid clsid;
    QVERIFY(LookupEncoderClsid(mimeType, clsid));
    QVERIFY(clsid.index >= 0);
    QTemporaryDir dir;
    const QString path = dir.filePath(kOut);
    QVERIFY(SaveBitmapWithEncoder(patterned(5), path, mimeType));
    QCOMPARE(QImageReader(path).format(), format);
}

void TestWriter::unknownTypeWritesNothing_data() {
    QTest::addColumn<QString>("mimeType");
    QTest::newRow("unknown") << QStringLiteral("image/x-unknown");
    QTest::newRow("empty") << QString();
    QTest::newRow("format name") << QStringLiteral("png");
    QTest::newRow("trailing space") << QStringLiteral("image/png ");
}

void TestWriter::unknownTypeWritesNothing() {
    QFETCH(QString, mimeType);
    EncoderClsid clsid{2};
    QVERIFY(!LookupEncoderClsid(mimeType, clsid));
    QCOMPARE(clsid.index, 2);
    QTemporaryDir dir;
    QString reason;
    QVERIFY(!SaveBitmapWithEncoder(patterned(5), dir.filePath(kOut), mimeType, &reason));
    QVERIFY(!reason.isEmpty());
    QVERIFY(entries(dir.path()).isEmpty());
}

// The encoder refuses the bitmap, the folder refuses the new file, or the path cannot take a file
// at all. Whatever fails, the earlier file survives byte for byte and nothing is left beside it.
void TestWriter::failedWriteKeepsEarlierFile_data() {
    QTest::addColumn<QString>("mimeType");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("readOnlyFolder");
    const QImage image = patterned(3);
    for (const auto& [name, mime] : kFormats) {
        QTest::addRow("%s empty image", name) << mime << QImage() << kOut << false;
        QTest::addRow("%s read-only folder", name) << mime << image << kOut << true;
        QTest::addRow("%s missing folder", name) << mime << image << "missing/" + kOut << false;
        QTest::addRow("%s path is a folder", name) << mime << image << kFolder << false;
    }
    QTest::newRow("gif too wide") << kMimeGif << SolidImage(65536, 1, 0) << kOut << false;
}

void TestWriter::failedWriteKeepsEarlierFile() {
    QFETCH(QString, mimeType);
    QFETCH(QImage, image);
    QFETCH(QString, target);
    QFETCH(bool, readOnlyFolder);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(kFolder));
    const QByteArray earlier("earlier contents");
    QFile file(dir.filePath(kOut));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(earlier) == earlier.size());
    file.close();
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (readOnlyFolder) {
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        QFile probe(dir.filePath(QStringLiteral("probe")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("root ignores folder permissions; the empty-image rows check the same property");
        }
    }
    QString reason;
    QVERIFY(!save(image, dir.filePath(target), mimeType, &reason));
    QVERIFY(!reason.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), earlier);
    QCOMPARE(entries(dir.path()), (QStringList{kFolder, kOut}));
    QVERIFY(entries(dir.filePath(kFolder)).isEmpty());
}

QTEST_GUILESS_MAIN(TestWriter)
#include "tst_writer.moc"
