// The splice of a sequential Huffman-coded JPEG against the way through all of the picture's
// blocks, which it must match block for block, so that every decoder shows the same pixels, in a
// file no larger; restart intervals without a changed MCU byte for byte; the JPEGs the lossless way
// leaves to the normal one; and the bytes after a JPEG's end, which it never reads.
#include "engine/run/stampfile.h"
#include "engine/stamping/jpeglossless.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QSize kPicture(203, 157); // no MCU ends evenly at the right or bottom edge
const QSize kMarkSize(45, 30);

// Strokes of sharp colour over a white ground that the default key leaves out.
QImage markPicture() {
    QImage mark(kMarkSize, QImage::Format_ARGB32);
    mark.fill(Qt::white);
    for (int y = 0; y < kMarkSize.height(); ++y)
        for (int x = kMarkSize.width() / 3; x < kMarkSize.width(); ++x)
            if ((x + y) % 7 < 3)
                mark.setPixel(x, y, qRgba(150, 20, 30, 255));
    return mark;
}

// A smooth picture with a few sharp specks: coded with optimised tables, its rare symbols take
// the longest codes and fill the tables, and its smooth blocks leave out symbols the mark needs.
QImage speckled(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    quint32 noise = 777;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            noise = noise * 1103515245u + 12345u;
            const bool speck = (noise >> 20) % 97 == 0;
            image.setPixel(x, y,
                           speck ? qRgb(int(noise >> 24), 0, 255)
                                 : qRgb(x * 255 / size.width(), y * 255 / size.height(), 90));
        }
    return image;
}

// Stamps the mark at the placement and writes the copy; true when the picture was spliced.
bool stampInto(const QString& input, const QString& output, bool maySplice, int placement) {
    LosslessJpeg jpeg(input, maySplice);
    const QSize size = readWhole(input).size();
    const StampMark mark(markPicture(), kWhite);
    QPoint at;
    PlaceWatermark(placement, size.width(), size.height(), kMarkSize.width(), kMarkSize.height(),
                   at, -1);
    jpeg.read();
    jpeg.stamp(at, mark, 1);
    QFile file(output);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    jpeg.write(file, {});
    return jpeg.spliced();
}

// The scan's data cut at its restart markers, the markers left out.
QList<QByteArray> intervalsOf(const QByteArray& file) {
    qsizetype at = 2;
    while (at + 4 <= file.size() && uchar(file[at + 1]) != 0xDA)
        at += 2 + (uchar(file[at + 2]) << 8 | uchar(file[at + 3]));
    at += 2 + (uchar(file[at + 2]) << 8 | uchar(file[at + 3]));
    QList<QByteArray> intervals{QByteArray()};
    for (; at + 1 < file.size(); ++at) {
        const uchar byte = uchar(file[at]), next = uchar(file[at + 1]);
        if (byte == 0xFF && next >= 0xD0 && next <= 0xD7) {
            intervals.append(QByteArray());
            ++at;
        } else if (byte == 0xFF && next != 0) {
            break;
        } else {
            intervals.last().append(char(byte));
        }
    }
    return intervals;
}

// Whether every block of the MCU row is the same in both.
bool sameMcuRow(const JpegBlocksRead& a, const JpegBlocksRead& b, int row) {
    for (size_t c = 0; c < a.components.size(); ++c) {
        const JpegBlocksRead::Component& k = a.components[c];
        for (int y = row * k.v; y < std::min((row + 1) * k.v, k.high); ++y)
            for (int x = 0; x < k.wide; ++x)
                if (!std::equal(a.block(c, x, y), a.block(c, x, y) + JpegBlocksRead::kBlockSize,
                                b.block(c, x, y)))
                    return false;
    }
    return true;
}
} // namespace

class TestSplice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void sameBlocksAsThroughAllBlocks_data();
    void sameBlocksAsThroughAllBlocks();
    void reencodedWithANote_data();
    void reencodedWithANote();
    void progressiveScansThatLeaveBitsOutAreKept();
    void valuesBeyondEightBitsGoThroughAllBlocks();
    void bytesAfterTheEndAreNeverRead_data();
    void bytesAfterTheEndAreNeverRead();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    StampResult stampFile(const QString& input, const QString& output, bool lossless,
                          qint64 maxPixels = qint64(1) << 30) const;

    QTemporaryDir dir_;
};

StampResult TestSplice::stampFile(const QString& input, const QString& output, bool lossless,
                                  qint64 maxPixels) const {
    OutputChoices choices;
    choices.losslessJpeg = lossless;
    StampStyle style;
    StampRequest request;
    request.inputPath = input;
    request.output = {output, PictureFormat::Jpeg};
    request.placement = 8;
    request.choices = &choices;
    request.style = &style;
    request.maxPixels = maxPixels;
    RunWatermark watermark(StampMark(markPicture(), kWhite));
    return StampFile(request, watermark);
}

void TestSplice::sameBlocksAsThroughAllBlocks_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("placement");
    const struct {
        const char* name;
        int h, v;
    } samplings[] = {{"4:4:4", 1, 1}, {"4:2:2", 2, 1}, {"4:2:0", 2, 2}};
    const struct {
        const char* name;
        JpegKind kind;
    } kinds[] = {{"standard tables", JpegKind::Color},
                 {"restart intervals", JpegKind::Restarts},
                 {"optimised tables", JpegKind::Optimised}};
    const QImage photo = photoLike(kPicture.width(), kPicture.height());
    for (const auto& sampling : samplings)
        for (const auto& kind : kinds)
            for (const int placement : {0, 4, 8})
                QTest::addRow("%s, %s, placement %d", sampling.name, kind.name, placement)
                    << makeJpeg(photo, sampling.h, sampling.v, 90, kind.kind) << placement;
    // Tables with no code left: the MCUs with the longest codes are coded anew as well.
    const QByteArray full = makeJpeg(speckled({640, 480}), 2, 2, 90, JpegKind::Optimised);
    for (const int placement : {0, 4, 8})
        QTest::addRow("full tables, placement %d", placement) << full << placement;
}

void TestSplice::sameBlocksAsThroughAllBlocks() {
    QFETCH(QByteArray, file);
    QFETCH(int, placement);
    const QString input = path("input.jpg");
    writeFile(input, file);
    if (QByteArray(QTest::currentDataTag()).startsWith("full tables")) {
        const JpegHead head(input);
        const jpeg_decompress_struct& info = head.info();
        QVERIFY(!hasRoom(*info.ac_huff_tbl_ptrs[0]) || !hasRoom(*info.ac_huff_tbl_ptrs[1]));
    }
    QVERIFY(stampInto(input, path("spliced.jpg"), true, placement));
    QVERIFY(!stampInto(input, path("blocks.jpg"), false, placement));

    const JpegBlocksRead spliced = readJpegBlocks(path("spliced.jpg"));
    const JpegBlocksRead blocks = readJpegBlocks(path("blocks.jpg"));
    QCOMPARE(spliced.components.size(), size_t(3));
    QCOMPARE(spliced.restartInterval, blocks.restartInterval);
    for (size_t c = 0; c < 3; ++c)
        QVERIFY2(spliced.components[c].coefficients == blocks.components[c].coefficients,
                 qPrintable(QStringLiteral("component %1").arg(c)));
    QVERIFY(sameBytes(qtDecode(path("spliced.jpg"), false), qtDecode(path("blocks.jpg"), false)));
    QVERIFY(QFile(path("spliced.jpg")).size() <= QFile(path("blocks.jpg")).size());

    // Each restart interval holds an MCU row; one the mark leaves alone keeps its bytes.
    const JpegBlocksRead before = readJpegBlocks(input);
    if (before.restartInterval == 0)
        return;
    const QList<QByteArray> was = intervalsOf(file);
    const QList<QByteArray> is = intervalsOf(readFile(path("spliced.jpg")));
    QCOMPARE(is.size(), was.size());
    int kept = 0;
    for (int row = 0; row < was.size(); ++row)
        if (sameMcuRow(before, spliced, row)) {
            QVERIFY2(is[row] == was[row], qPrintable(QStringLiteral("interval %1").arg(row)));
            ++kept;
        }
    QVERIFY(kept > 0 && kept < was.size());
}

void TestSplice::reencodedWithANote_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    const QImage photo = photoLike(kPicture.width(), kPicture.height());
    // A 0 where a quantisation table's last entry stands: decoders read it, no encoder can use it.
    for (const JpegKind kind : {JpegKind::Color, JpegKind::Progressive}) {
        QByteArray zero = makeJpeg(photo, 2, 2, 90, kind);
        const qsizetype table = zero.indexOf(QByteArray("\xFF\xDB", 2));
        zero[table + 4 + 64] = 0;
        QTest::addRow("a 0 in a quantisation table, %s",
                      kind == JpegKind::Color ? "sequential" : "progressive")
            << zero << kZeroQuantisationReason;
    }
}

void TestSplice::progressiveScansThatLeaveBitsOutAreKept() {
    // The first scans of a progressive JPEG alone: the DC values and the first AC bits. A copy
    // with every bit sent would show them; the copy keeps the scans, so every block the mark
    // leaves alone shows as it did, but for the MCUs beside the changed ones: where bits are
    // missing, decoders smooth each block with its neighbours' DC values.
    const QByteArray progressive =
        makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90, JpegKind::Progressive);
    qsizetype cut = 0;
    for (int scan = 0; scan < 5; ++scan)
        cut = progressive.indexOf(QByteArray("\xFF\xDA", 2), cut + 2);
    cut = std::min(progressive.indexOf(QByteArray("\xFF\xC4", 2), cut),
                   progressive.indexOf(QByteArray("\xFF\xDA", 2), cut + 2));
    writeFile(path("partial.jpg"), progressive.left(cut) + QByteArray("\xFF\xD9", 2));
    const StampResult result = stampFile(path("partial.jpg"), path("lossless.jpg"), true);
    QVERIFY(result.written);
    QCOMPARE(result.notes, QStringList());
    const QImage before = readWhole(path("partial.jpg"));
    const QImage after = readWhole(path("lossless.jpg"));
    QPoint at;
    PlaceWatermark(8, kPicture.width(), kPicture.height(), kMarkSize.width(), kMarkSize.height(),
                   at, -1);
    const QRect touched(QPoint(at.x() / 16 * 16 - 16, at.y() / 16 * 16 - 16), kPicture);
    int changed = 0;
    for (int y = 0; y < kPicture.height(); ++y)
        for (int x = 0; x < kPicture.width(); ++x)
            if (!touched.contains(x, y) && before.pixel(x, y) != after.pixel(x, y))
                ++changed;
    QCOMPARE(changed, 0);
    QVERIFY(before != after);
}

void TestSplice::reencodedWithANote() {
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    writeFile(path("faulty.jpg"), file);
    const StampResult result = stampFile(path("faulty.jpg"), path("lossless.jpg"), true);
    QVERIFY(result.written);
    QCOMPARE(result.notes, QStringList{kReencodedNote.arg(reason)});
    QVERIFY(stampFile(path("faulty.jpg"), path("normal.jpg"), false).written);
    QCOMPARE(readFile(path("lossless.jpg")), readFile(path("normal.jpg")));
}

// A damaged Huffman table codes DC differences no 8-bit picture has: its blocks would not survive
// the encoder that holds the mark's, so the picture goes through all of its blocks, within the
// limit on the pixels whose blocks may be held.
void TestSplice::valuesBeyondEightBitsGoThroughAllBlocks() {
    const QString input =
        QStringLiteral(TINTOREL_SOURCE_DIR "/fuzz/regressions/splice/"
                                           "dc-values-beyond-what-8-bit-samples-give.jpg");
    QVERIFY(!stampInto(input, path("spliced.jpg"), true, 8));
    QVERIFY(!stampInto(input, path("blocks.jpg"), false, 8));
    QCOMPARE(readFile(path("spliced.jpg")), readFile(path("blocks.jpg")));
    const StampResult limited = stampFile(input, path("limited.jpg"), true, 1000);
    QVERIFY(!limited.written);
    QVERIFY2(limited.failures.value(0).text.contains(QStringLiteral("picture too large")),
             qPrintable(limited.failures.value(0).text));
}

void TestSplice::bytesAfterTheEndAreNeverRead_data() {
    QTest::addColumn<JpegKind>("kind");
    QTest::newRow("spliced") << JpegKind::Color;
    QTest::newRow("through all blocks") << JpegKind::Progressive;
}

void TestSplice::bytesAfterTheEndAreNeverRead() {
    QFETCH(JpegKind, kind);
    const QByteArray jpeg =
        makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90, kind);
    writeFile(path("plain.jpg"), jpeg);
    writeFile(path("tailed.jpg"), jpeg);
    // Two gigabytes of a sparse file's zeros: held, they would show in the memory taken.
    QFile tailed(path("tailed.jpg"));
    QVERIFY(tailed.resize(jpeg.size() + (qint64(2) << 30)));
    const long before = maxResidentKilobytes();
    QVERIFY(stampFile(path("tailed.jpg"), path("from tailed.jpg"), true).written);
    QVERIFY(maxResidentKilobytes() - before < 64 * 1024);
    QVERIFY(stampFile(path("plain.jpg"), path("from plain.jpg"), true).written);
    QCOMPARE(readFile(path("from tailed.jpg")), readFile(path("from plain.jpg")));
}

QTEST_GUILESS_MAIN(TestSplice)
#include "tst_splice.moc"
