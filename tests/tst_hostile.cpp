// Hostile inputs given to tintorel-cli, one row each: cut files of every format, headers that
// declare giant, empty or negative sizes, pictures beyond the ceiling, a small PNG that inflates to
// 16000 x 16000, an empty file, a folder named like a picture, a FIFO, a dangling link, an
// unreadable file and a name with a newline. Each row states the exit code, a piece of the message,
// whether a copy is written (a failed input leaves nothing at all in the output folder) and the
// most memory the program may hold, its peak resident size as the kernel reports it to the parent
// that waits for it.
#include "engine/picture.h"
#include "engine/stampfile.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

// AddressSanitizer's shadow memory and quarantine say nothing of the program's own needs: an
// instrumented build is held to a looser bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kMemoryAllowance = 2;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kMemoryAllowance = 2;
#else
constexpr int kMemoryAllowance = 1;
#endif
#else
constexpr int kMemoryAllowance = 1;
#endif

// Where the input of a row comes from.
enum class Entry { File, Fifo, Folder, DanglingLink, Unreadable };

} // namespace

struct Expected {
    int code = 1;
    QString message;
    bool written = false;
    int megabytes = 32; // the most the program may hold, resident: it starts with about 22
    // A picture refused by the default ceiling is let through on a machine whose memory holds
    // it: the row says how many pixels it declares.
    qint64 declaredPixels = 0;
};
Q_DECLARE_METATYPE(Expected)

namespace {

struct ChildRun {
    int code = -1; // -1: killed, or did not end in time
    QString errors;
    long peakKilobytes = 0;
};

// Runs the command under GNU time, which tells the peak resident size of that process alone: a
// process started from this one directly would count this test's own memory as its own, since
// the kernel carries the peak of the memory it replaces over an exec.
ChildRun runChild(const QStringList& command, const QString& peakFile) {
    const ProcessResult result = RunProcess(
        "/usr/bin/time", QStringList{"--quiet", "--format=%M", "--output=" + peakFile} + command);
    return {result.code, result.errors, Contents(peakFile).trimmed().toLong()};
}

QByteArray pngChunk(const char* type, const QByteArray& data) {
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += QByteArray(type, 4) + data;
    const QByteArray body = chunk.mid(4);
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(
        quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))),
        crc.data());
    return chunk + crc;
}

// An 8-bit RGB PNG of the size given, its IDAT holding the deflated rows given.
QByteArray pngWith(quint32 width, quint32 height, const QByteArray& idat) {
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 8; // bits per sample
    header[9] = 2; // truecolour
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", idat) + pngChunk("IEND", {});
}

// A black square of the side given, deflated as tightly as zlib goes: 16000 x 16000 takes 750 KB.
QByteArray inflatingPng(int side) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_RLE);
    std::vector<Bytef> row(size_t(side) * 3 + 1, 0);
    QByteArray idat;
    std::vector<Bytef> out(1 << 16);
    for (int y = 0; y <= side; ++y) {
        const bool last = y == side;
        stream.next_in = row.data();
        stream.avail_in = last ? 0 : uInt(row.size());
        do {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            idat.append(reinterpret_cast<const char*>(out.data()),
                        qsizetype(out.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return pngWith(quint32(side), quint32(side), idat);
}

QByteArray zlibOf(const QByteArray& data) {
    return qCompress(data).mid(4); // without Qt's length in front
}

// A small PNG whose text chunk declares 2 GB and stops at once.
QByteArray textChunkBomb() {
    const QByteArray png = encoded(photoLike(16, 16), PictureFormat::Png);
    QByteArray chunk(8, '\0');
    qToBigEndian<quint32>(0x7FFFFFFF, chunk.data());
    chunk.replace(4, 4, "iTXt");
    return png.left(33) + chunk + QByteArray("XML:com.adobe.xmp");
}

QByteArray gifScreen(quint16 width, quint16 height) {
    QByteArray gif("GIF89a");
    gif.resize(13);
    qToLittleEndian<quint16>(width, gif.data() + 6);
    qToLittleEndian<quint16>(height, gif.data() + 8);
    gif[10] = char(0x80); // a global colour table of two colours
    gif[11] = gif[12] = 0;
    gif += QByteArray("\0\0\0\xff\xff\xff", 6);
    // One 1 x 1 frame, then the end.
    return gif + QByteArray(",\0\0\0\0\1\0\1\0\0\x02\x02\x44\x01\0;", 17);
}

// The picture with the size its start-of-frame marker declares replaced.
QByteArray jpegDeclaring(QByteArray jpeg, quint16 width, quint16 height) {
    for (const char* marker : {"\xFF\xC0", "\xFF\xC2"}) {
        const qsizetype at = jpeg.indexOf(QByteArray(marker, 2));
        if (at >= 0) {
            qToBigEndian<quint16>(height, jpeg.data() + at + 5);
            qToBigEndian<quint16>(width, jpeg.data() + at + 7);
        }
    }
    return jpeg;
}

QByteArray bmpDeclaring(qint32 width, qint32 height) {
    QByteArray bmp = encoded(photoLike(16, 16), PictureFormat::Bmp).left(154);
    qToLittleEndian<qint32>(width, bmp.data() + 18);
    qToLittleEndian<qint32>(height, bmp.data() + 22);
    return bmp;
}

// An uncompressed 8-bit grey TIFF declaring the size, with 64 bytes of pixels.
QByteArray tiffDeclaring(quint32 width, quint32 height) {
    const quint32 entries[][3] = {{256, 4, width}, {257, 4, height}, {258, 3, 8},   {259, 3, 1},
                                  {262, 3, 1},     {273, 4, 8},      {277, 3, 1},   {278, 4, height},
                                  {279, 4, 64}};
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    QByteArray count(2, '\0');
    qToLittleEndian<quint16>(quint16(std::size(entries)), count.data());
    tiff += count;
    for (const auto& [tag, type, value] : entries) {
        QByteArray entry(12, '\0');
        qToLittleEndian<quint16>(quint16(tag), entry.data());
        qToLittleEndian<quint16>(quint16(type), entry.data() + 2);
        qToLittleEndian<quint32>(1, entry.data() + 4);
        if (type == 3)
            qToLittleEndian<quint16>(quint16(value), entry.data() + 8);
        else
            qToLittleEndian<quint32>(value, entry.data() + 8);
        tiff += entry;
    }
    return tiff + QByteArray(4 + 64, '\0');
}

QByteArray byQt(const QImage& image, const char* format) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return buffer.data();
}

QString tooLarge(int width, int height) {
    return QStringLiteral("picture too large: %1 x %2 pixels").arg(width).arg(height);
}

Expected refusedByDefault(int width, int height) {
    return {1, tooLarge(width, height), false, 32, qint64(width) * height};
}

void addRow(const char* name, const QString& file, Entry entry, const QByteArray& bytes,
            const QStringList& options, const Expected& expected) {
    QTest::newRow(name) << file << entry << bytes << options << expected;
}

// The size of the picture, decoded to its last row a band at a time.
QSize decodedSize(const QString& path) {
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
    const QSize size = reader->size();
    constexpr int kBand = 64;
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
    std::vector<uchar> band(size_t(bytesPerLine) * kBand);
    for (int y = 0; y < size.height(); y += kBand)
        reader->readRows(band.data(), bytesPerLine, std::min(kBand, size.height() - y));
    return size;
}

void addFile(const char* name, const QString& file, const QByteArray& bytes,
             const Expected& expected, const QStringList& options = {"--format", "png"}) {
    addRow(name, file, Entry::File, bytes, options, expected);
}
} // namespace

class TestHostile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void hostileInput_data();
    void hostileInput();

private:
    void addCutRows();
    void addHeaderRows();
    void addCeilingRows();
    void addEntryRows();
    void makeEntry(const QString& path, Entry entry, const QByteArray& bytes);
    QString in(const QString& name) const { return dir_->filePath("in/" + name); }
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }

    QByteArray inflating_;
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestHostile::initTestCase() {
    inflating_ = inflatingPng(16000);
    QVERIFY2(inflating_.size() < 800 * 1024, qPrintable(QString::number(inflating_.size())));
}

void TestHostile::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(dir_->path()).mkpath("in") && QDir(dir_->path()).mkpath("out"));
    // Reachable and writable for the other user that reads the unreadable file.
    for (const auto& [path, mode] : {std::pair{dir_->path(), 0755}, {in(""), 0755}, {out(), 0777}})
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    QImage mark = SolidImage(12, 8, qRgb(255, 255, 255));
    for (int x = 2; x < 10; ++x)
        mark.setPixel(x, 4, qRgb(220, 20, 20));
    WriteImage(mark, in("mark.png"), "png");
}

void TestHostile::hostileInput_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Expected>("expected");
    addCutRows();
    addHeaderRows();
    addCeilingRows();
    addEntryRows();
}

void TestHostile::addCutRows() {
    const QImage picture = photoLike(160, 120);
    const QList<std::tuple<const char*, QString, QByteArray>> formats = {
        {"jpeg", "cut.jpg", makeJpeg(picture, 2, 2)},
        {"progressive jpeg", "cut.jpg", makeJpeg(picture, 2, 2, 85, JpegKind::Progressive)},
        {"png", "cut.png", encoded(picture, PictureFormat::Png)},
        {"interlaced png", "cut.png", readFile(TINTOREL_TEST_DATA "/pngsuite/basi2c08.png")},
        {"gif", "cut.gif", encoded(picture.convertToFormat(QImage::Format_Indexed8),
                                   PictureFormat::Gif)},
        {"bmp", "cut.bmp", encoded(picture, PictureFormat::Bmp)},
        {"bmp rle8", "cut.bmp", makeRle8Bmp(picture)},
        {"tiff", "cut.tif", encoded(picture, PictureFormat::Tiff)},
    };
    for (const auto& [format, file, whole] : formats) {
        // libtiff gives its own words for a strip that stops short.
        const QString reason = file.endsWith(".tif") ? QString() : kDataEndsEarlyText;
        for (int percent : {5, 50, 99}) {
            const QByteArray name = QByteArray(format) + " cut at " + QByteArray::number(percent) + "%";
            addFile(name.constData(), file, whole.left(whole.size() * percent / 100),
                    {1, reason});
        }
    }
}

void TestHostile::addHeaderRows() {
    const QByteArray jpeg = makeJpeg(photoLike(64, 48), 2, 2);
    const QByteArray progressive = makeJpeg(photoLike(64, 48), 2, 2, 85, JpegKind::Progressive);
    addFile("png declaring 100000 x 100000", "bomb.png",
            pngWith(100000, 100000, zlibOf(QByteArray(1000, '\0'))), {1, "Not enough image data"});
    addFile("png declaring a negative width", "bomb.png",
            pngWith(0xFFFFFFF0u, 100, zlibOf(QByteArray(1000, '\0'))),
            {1, "PNG unsigned integer out of range"});
    // A chunk's length is read before the chunk: libpng would clear that much memory for it.
    addFile("png with a text chunk declaring 2 GB", "bomb.png", textChunkBomb(),
            {1, "iTXt: chunk data is too large"});
    addFile("gif declaring 65535 x 65535", "bomb.gif", gifScreen(65535, 65535),
            refusedByDefault(65535, 65535));
    addFile("gif declaring 0 x 0", "bomb.gif", gifScreen(0, 0), {1, "Image is empty"});
    addFile("jpeg declaring 65500 x 65500", "bomb.jpg", jpegDeclaring(jpeg, 65500, 65500),
            {1, kDataEndsEarlyText});
    addFile("progressive jpeg declaring 65500 x 65500", "bomb.jpg",
            jpegDeclaring(progressive, 65500, 65500), refusedByDefault(65500, 65500));
    addFile("jpeg declaring 0 x 0", "bomb.jpg", jpegDeclaring(jpeg, 0, 0), {1, "Empty JPEG image"});
    addFile("bmp declaring 100000 x 100000", "bomb.bmp", bmpDeclaring(100000, 100000),
            {1, kDataEndsEarlyText});
    addFile("bmp declaring a negative width", "bomb.bmp", bmpDeclaring(-100000, 100),
            {1, kDataEndsEarlyText});
    addFile("bmp declaring the most negative size", "bomb.bmp",
            bmpDeclaring(std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::min()),
            {1, kDataEndsEarlyText});
    addFile("tiff declaring 100000 x 100000", "bomb.tif", tiffDeclaring(100000, 100000),
            refusedByDefault(100000, 100000));
    addFile("tiff declaring a negative width", "bomb.tif", tiffDeclaring(0xFFFFFFFFu, 1),
            {1, "Unable to read image data"});
}

// A picture beyond the ceiling is refused with its size, before decoding; a raised ceiling lets it
// through, and a picture that streams needs none.
void TestHostile::addCeilingRows() {
    const QImage picture = photoLike(1200, 1000);
    const QByteArray bmp = encoded(picture, PictureFormat::Bmp);
    const QString refused = tooLarge(1200, 1000) + " (1.2 megapixels) is more than the 1.0 "
                                                   "megapixels allowed";
    const QStringList oneMegapixel{"--max-megapixels", "1"};
    addFile("bmp beyond a ceiling of 1 megapixel", "big.bmp", bmp, {1, refused}, oneMegapixel);
    addFile("bmp within a ceiling of 2 megapixels", "big.bmp", bmp, {0, "1 written", true, 48},
            {"--max-megapixels", "2"});
    // Qt learns how a WebP stores its pixels only by decoding it: the size alone refuses it first.
    addFile("webp beyond a ceiling of 1 megapixel", "big.webp", byQt(picture, "webp"),
            {1, refused}, oneMegapixel + QStringList{"--format", "png"});
    addFile("png streaming past a ceiling of 1 megapixel", "big.png",
            encoded(picture, PictureFormat::Png), {0, "1 written", true},
            oneMegapixel + QStringList{"--format", "jpg"});
    // Written as JPEG, the fastest way for it: by rows, never more than a band of them in memory.
    addFile("png of 750 KB inflating to 16000 x 16000", "inflating.png", inflating_,
            {0, "1 written", true, 48}, {"--format", "jpg"});
}

void TestHostile::addEntryRows() {
    const QByteArray png = encoded(photoLike(40, 30), PictureFormat::Png);
    addFile("empty file", "empty.jpg", {}, {1, "Unsupported image format"});
    addRow("folder named like a picture", "photo.jpg", Entry::Folder, {}, {},
           {2, "No files added."});
    addRow("fifo", "pipe.png", Entry::Fifo, {}, {}, {1, kNotRegularFileText});
    addRow("dangling link", "gone.png", Entry::DanglingLink, {}, {},
           {1, "No such file or directory"});
    addRow("unreadable file", "locked.png", Entry::Unreadable, png, {}, {1, "Permission denied"});
    addFile("name with a newline", "new\nline.png", png, {0, "1 written", true}, {});
}

void TestHostile::makeEntry(const QString& path, Entry entry, const QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    switch (entry) {
    case Entry::File:
    case Entry::Unreadable:
        writeFile(path, bytes);
        if (entry == Entry::Unreadable)
            QVERIFY(::chmod(name.constData(), 0200) == 0);
        break;
    case Entry::Fifo:
        QVERIFY(::mkfifo(name.constData(), 0644) == 0);
        break;
    case Entry::Folder:
        QVERIFY(QDir().mkpath(path));
        break;
    case Entry::DanglingLink:
        QVERIFY(::symlink("nowhere.png", name.constData()) == 0);
        break;
    }
}

void TestHostile::hostileInput() {
    QFETCH(QString, file);
    QFETCH(Entry, entry);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, options);
    QFETCH(Expected, expected);
    if (expected.declaredPixels > 0 && expected.declaredPixels <= DefaultMaxPixels())
        QSKIP("a quarter of this machine's memory holds the picture: the ceiling lets it through");
    makeEntry(in(file), entry, bytes);
    // Root reads every file: the unreadable one is given to another user.
    QStringList command{kCli};
    if (entry == Entry::Unreadable && ::geteuid() == 0)
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kCli};
    command << "--watermark" << in("mark.png") << "--output" << out().chopped(1) << options
            << in(file);
    const ChildRun run = runChild(command, dir_->filePath("peak.txt"));
    const QString said = QStringLiteral("exit %1: %2").arg(run.code).arg(run.errors);
    QVERIFY2(run.code == expected.code, qPrintable(said));
    QVERIFY2(run.errors.contains(expected.message), qPrintable(said));
    const QStringList outputs =
        QDir(out()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    QCOMPARE(outputs.size(), expected.written ? 1 : 0);
    if (expected.written)
        QVERIFY(!decodedSize(out(outputs.first())).isEmpty());
    qInfo("peak memory %ld KB", run.peakKilobytes);
    QVERIFY2(run.peakKilobytes <= expected.megabytes * 1024L * kMemoryAllowance,
             qPrintable(QStringLiteral("%1 KB").arg(run.peakKilobytes)));
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
