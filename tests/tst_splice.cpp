// The splice of a sequential Huffman-coded JPEG against the way through all of the picture's
// blocks, which it must match block for block, so that every decoder shows the same pixels, in a
// file no larger; restart intervals without a changed MCU byte for byte; the JPEGs the lossless way
// leaves to the normal one; and the bytes after a JPEG's end, which it never reads.
#include "engine/run/stampfile.h"
#include "engine/stamping/jpeglossless.h"
#include "support/failure.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <bit>

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

// A Huffman table whose symbols take the lengths given, in canonical order.
JHUFF_TBL tableOf(const std::vector<std::pair<int, int>>& lengths) {
    JHUFF_TBL table{};
    std::vector<std::pair<int, int>> sorted = lengths; // length, symbol
    std::stable_sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
        ++table.bits[sorted[i].first];
        table.huffval[i] = UINT8(sorted[i].second);
    }
    return table;
}

// DC categories 0-11 with codes of 2 to 16 bits.
JHUFF_TBL dcTable() {
    constexpr int kLengths[] = {2, 2, 3, 3, 4, 5, 6, 7, 8, 9, 16, 16};
    std::vector<std::pair<int, int>> lengths;
    for (int symbol = 0; symbol < 12; ++symbol)
        lengths.emplace_back(kLengths[symbol], symbol);
    return tableOf(lengths);
}

// Every AC symbol of 8-bit samples: the end of a block and a few small values take 2 to 4 bits,
// sixteen zeros `zerosLength`, the rest 10 bits or, every third one, the longest 16.
JHUFF_TBL acTable(int zerosLength) {
    std::vector<std::pair<int, int>> lengths{{2, 0x00}, {3, 0x01}, {3, 0x02}, {4, 0x11}};
    lengths.emplace_back(zerosLength, 0xF0);
    int n = 0;
    for (int run = 0; run < 16; ++run)
        for (int size = 1; size <= 10; ++size) {
            const int symbol = run << 4 | size;
            if (symbol != 0x01 && symbol != 0x02 && symbol != 0x11)
                lengths.emplace_back(++n % 3 == 0 ? 16 : 10, symbol);
        }
    return tableOf(lengths);
}

int magnitude(int value) {
    return int(std::bit_width(unsigned(std::abs(value))));
}

// Codes a block as JPEG does: its DC difference, then each value with the zeros before it. With
// `zerosBeforeEnd`, sixteen zeros before the end of a block that ends in more than sixteen, as
// libjpeg never codes them but decoders read them; whether it put them.
bool putBlock(ScanWriter& writer, const HuffmanEncoding& dc, const HuffmanEncoding& ac,
              const std::array<int, 64>& block, int difference, bool zerosBeforeEnd = false) {
    const auto put = [&](const HuffmanEncoding& table, int symbol, int value, int size) {
        writer.put(table.code[size_t(symbol)], table.length[size_t(symbol)]);
        if (size > 0)
            writer.put(uint32_t(value < 0 ? value - 1 : value) & ((1u << size) - 1), size);
    };
    put(dc, magnitude(difference), difference, magnitude(difference));
    int zeros = 0;
    for (int k = 1; k < 64; ++k) {
        if (block[size_t(k)] == 0) {
            ++zeros;
            continue;
        }
        for (; zeros > 15; zeros -= 16)
            put(ac, 0xF0, 0, 0);
        put(ac, zeros << 4 | magnitude(block[size_t(k)]), block[size_t(k)],
            magnitude(block[size_t(k)]));
        zeros = 0;
    }
    const bool sixteen = zerosBeforeEnd && zeros > 16;
    if (sixteen)
        put(ac, 0xF0, 0, 0);
    if (zeros > 0)
        put(ac, 0x00, 0, 0);
    return sixteen;
}

// The block's DC difference read one symbol at a time, as libjpeg's decoder reads it.
int readBlockSymbolBySymbol(ScanReader& reader, const HuffmanDecoding& dc,
                            const HuffmanDecoding& ac) {
    const int difference = reader.value(reader.decode(dc));
    for (int k = 1; k < 64; ++k) {
        const int symbol = reader.decode(ac);
        const int size = symbol & 0x0F;
        reader.value(size);
        if (size == 0 && symbol != 0xF0)
            break;
        k += size == 0 ? 15 : symbol >> 4;
    }
    return difference;
}

// Blocks in the order of their scan, by the kind of values they hold.
std::vector<std::array<int, 64>> blocksOf(const QString& kind, int count) {
    std::vector<std::array<int, 64>> blocks(static_cast<size_t>(count));
    quint32 noise = 12345;
    const auto next = [&](int below) {
        noise = noise * 1103515245u + 12345u;
        return int((noise >> 8) % unsigned(below));
    };
    for (auto& block : blocks) {
        block.fill(0);
        block[0] = next(2047) - 1023;
        const int last = kind == QLatin1String("last value at 63")      ? 63
                         : kind == QLatin1String("sixteen zeros to 63") ? 47
                                                                        : 1 + next(63);
        for (int k = 1; k <= last; ++k) {
            const bool small = kind == QLatin1String("small values");
            const bool sparse = kind == QLatin1String("long zero runs") ||
                                kind == QLatin1String("sixteen zeros to 63");
            if (sparse ? next(19) == 0 : next(3) != 0)
                block[size_t(k)] = (small ? 1 + next(2) : 1 + next(1023)) * (next(2) ? 1 : -1);
        }
        if (kind == QLatin1String("sixteen zeros to 63")) {
            std::fill(block.begin() + 48, block.end(), 0);
            block[47] = 1;
            block[63] = next(2) ? 1 : -3;
        } else if (kind == QLatin1String("last value at 63")) {
            block[63] = 2;
        }
    }
    return blocks;
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
    void scanWalkMatchesSymbolBySymbol_data();
    void scanWalkMatchesSymbolBySymbol();
    void zerosBeforeTheEndOfABlockAreCodedAsTheEnd();
    void dcSizesBeyondFifteenAreLeftToLibjpeg();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    // The normal way keeps the picture's own tables with ownTables (--quality keep).
    StampResult stampFile(const QString& input, const QString& output, bool lossless,
                          qint64 maxPixels = qint64(1) << 30, bool ownTables = false) const;

    QTemporaryDir dir_;
};

StampResult TestSplice::stampFile(const QString& input, const QString& output, bool lossless,
                                  qint64 maxPixels, bool ownTables) const {
    OutputChoices choices;
    choices.losslessJpeg = lossless;
    choices.keepJpegQuality = ownTables;
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
    // A grey picture's scan holds one component, an MCU of one block.
    for (const int placement : {0, 4, 8})
        QTest::addRow("grey, placement %d", placement)
            << makeJpeg(photo, 1, 1, 90, JpegKind::Gray) << placement;
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
    QCOMPARE(spliced.components.size(), readJpegBlocks(input).components.size());
    QCOMPARE(spliced.restartInterval, blocks.restartInterval);
    for (size_t c = 0; c < spliced.components.size(); ++c)
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
    // Re-encoded with its own tables, as --quality keep would.
    QVERIFY(
        stampFile(path("faulty.jpg"), path("normal.jpg"), false, qint64(1) << 30, true).written);
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

    // The run admitted the splice's memory alone: it is asked before all the blocks are held, and
    // may stop there.
    LosslessJpeg jpeg(input);
    QVERIFY(jpeg.spliced());
    const QSize size = readWhole(input).size();
    QVERIFY(jpeg.refusal(1, false, qint64(1) << 30).isEmpty());
    int asked = 0;
    jpeg.beforeAllBlocks([&] {
        ++asked;
        throw Failure(QStringLiteral("no memory left"));
    });
    jpeg.read();
    QString failure;
    try {
        jpeg.stamp(QPoint(size.width() - kMarkSize.width(), size.height() - kMarkSize.height()),
                   StampMark(markPicture(), kWhite), 1);
    } catch (const Failure& caught) {
        failure = caught.text();
    }
    QCOMPARE(asked, 1);
    QCOMPARE(failure, QStringLiteral("no memory left"));
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

// The walk that passes over several AC symbols in one look stops where the block ends: at its end
// of block, at its 64th coefficient without one, after sixteen zeros that reach it, and where a
// long code or a stuffed byte comes. Each block must end where libjpeg's reading ends it, in each
// restart interval.
void TestSplice::scanWalkMatchesSymbolBySymbol_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("zerosLength");
    for (const char* kind : {"small values", "any values", "long zero runs", "last value at 63",
                             "sixteen zeros to 63"})
        for (const int zerosLength : {2, 11})
            QTest::addRow("%s, sixteen zeros in %d bits", kind, zerosLength)
                << QString::fromLatin1(kind) << zerosLength;
}

void TestSplice::scanWalkMatchesSymbolBySymbol() {
    QFETCH(QString, kind);
    QFETCH(int, zerosLength);
    const JHUFF_TBL dc = dcTable(), ac = acTable(zerosLength);
    const HuffmanEncoding dcCodes(dc), acCodes(ac);
    const std::vector<std::array<int, 64>> blocks = blocksOf(kind, 3000);
    constexpr int kInterval = 700;
    QByteArray scan;
    {
        QBuffer buffer(&scan);
        buffer.open(QIODevice::WriteOnly);
        ScanWriter writer(buffer);
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (i % kInterval == 0 && i > 0) {
                writer.pad();
                const uint8_t restart[] = {0xFF, uint8_t(0xD0 + (i / kInterval - 1) % 8)};
                writer.raw(restart, 2);
            }
            const int previous = i % kInterval == 0 ? 0 : blocks[i - 1][0];
            putBlock(writer, dcCodes, acCodes, blocks[i], blocks[i][0] - previous);
        }
        writer.pad();
        const uint8_t end[] = {0xFF, 0xD9};
        writer.raw(end, 2);
        writer.flush();
    }
    QVERIFY(scan.contains(QByteArray("\xFF\x00", 2)));
    writeFile(path("scan.bin"), scan);
    const HuffmanDecoding dcDecoding(dc), acDecoding(ac);
    ScanReader walk(path("scan.bin"), 0), symbols(path("scan.bin"), 0);
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i % kInterval == 0) {
            if (i > 0) {
                QCOMPARE(walk.copyToMarker(nullptr), symbols.copyToMarker(nullptr));
            }
            walk.startInterval();
            symbols.startInterval();
        }
        const int walked = walk.skipBlock(dcDecoding, acDecoding);
        const int read = readBlockSymbolBySymbol(symbols, dcDecoding, acDecoding);
        QCOMPARE(read, blocks[i][0] - (i % kInterval == 0 ? 0 : blocks[i - 1][0]));
        QCOMPARE(walked, read);
        QVERIFY2(walk.position() == symbols.position(),
                 qPrintable(QStringLiteral("block %1").arg(i)));
    }
    QVERIFY(!walk.overran());
    QCOMPARE(walk.copyToMarker(nullptr), 0xD9);
}

// A scan coded as libjpeg never codes it, sixteen zeros before the end of a block, in a picture
// whose full tables have the MCUs with long codes coded anew as they are read: those come out as
// libjpeg codes them, every block as through all blocks.
void TestSplice::zerosBeforeTheEndOfABlockAreCodedAsTheEnd() {
    const QSize size(640, 480);
    writeFile(path("full.jpg"), makeJpeg(speckled(size), 2, 2, 90, JpegKind::Optimised));
    const JpegHead head(path("full.jpg"));
    const jpeg_decompress_struct& info = head.info();
    const JpegBlocksRead read = readJpegBlocks(path("full.jpg"));
    std::vector<HuffmanEncoding> dcCodes, acCodes;
    for (int c = 0; c < 3; ++c) {
        dcCodes.emplace_back(*info.dc_huff_tbl_ptrs[info.comp_info[c].dc_tbl_no]);
        acCodes.emplace_back(*info.ac_huff_tbl_ptrs[info.comp_info[c].ac_tbl_no]);
    }
    QByteArray scan;
    QBuffer buffer(&scan);
    buffer.open(QIODevice::WriteOnly);
    ScanWriter writer(buffer);
    std::array<int, 3> dc{};
    int sixteens = 0;
    for (int y = 0; y < size.height() / 16; ++y)
        for (int x = 0; x < size.width() / 16; ++x)
            for (size_t c = 0; c < 3; ++c) {
                const JpegBlocksRead::Component& component = read.components[c];
                for (int v = 0; v < component.v; ++v)
                    for (int h = 0; h < component.h; ++h) {
                        const qint16* natural =
                            read.block(c, x * component.h + h, y * component.v + v);
                        std::array<int, 64> block{};
                        for (size_t k = 0; k < 64; ++k)
                            block[k] = natural[kZigzagPlace[k]];
                        sixteens += putBlock(writer, dcCodes[c], acCodes[c], block,
                                             block[0] - dc[c], acCodes[c].length[0xF0] > 0);
                        dc[c] = block[0];
                    }
            }
    writer.pad();
    writer.flush();
    QVERIFY(sixteens > 1000);
    writeFile(path("zeros.jpg"), head.bytes() + scan + QByteArray("\xFF\xD9", 2));
    QVERIFY(readJpegBlocks(path("zeros.jpg")).components[0].coefficients ==
            read.components[0].coefficients);

    for (const int placement : {0, 8}) {
        QVERIFY(stampInto(path("zeros.jpg"), path("spliced.jpg"), true, placement));
        QVERIFY(!stampInto(path("zeros.jpg"), path("blocks.jpg"), false, placement));
        const JpegBlocksRead spliced = readJpegBlocks(path("spliced.jpg"));
        const JpegBlocksRead blocks = readJpegBlocks(path("blocks.jpg"));
        QCOMPARE(spliced.components.size(), size_t(3));
        for (size_t c = 0; c < 3; ++c)
            QVERIFY(spliced.components[c].coefficients == blocks.components[c].coefficients);
    }
}

// A DC table with a symbol for a difference of 64 bits, more than any reader can take: libjpeg
// refuses the table, and the splice leaves the picture to it rather than walk the data by it.
void TestSplice::dcSizesBeyondFifteenAreLeftToLibjpeg() {
    QByteArray file = makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90);
    const qsizetype table = file.indexOf(QByteArray("\xFF\xC4", 2));
    QCOMPARE(int(uchar(file[table + 4])), 0x00); // the first DC table
    int symbols = 0;
    for (int length = 1; length <= 16; ++length)
        symbols += uchar(file[table + 4 + length]);
    file[table + 4 + 16 + symbols] = char(64); // its rarest symbol
    writeFile(path("bogus.jpg"), file);
    QVERIFY(!LosslessJpeg(path("bogus.jpg")).spliced());
    const StampResult result = stampFile(path("bogus.jpg"), path("bogus-copy.jpg"), true);
    QVERIFY(!result.written);
    QVERIFY2(result.failures.value(0).text.contains(QStringLiteral("Huffman table")),
             qPrintable(result.failures.value(0).text));
}

QTEST_GUILESS_MAIN(TestSplice)
#include "tst_splice.moc"
