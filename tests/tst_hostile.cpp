// Hostile inputs given to tintorel-cli, one row each: cut files of every format, headers that
// declare giant, empty or negative sizes, pictures beyond the ceiling, a small PNG that inflates to
// 16000 x 16000, an empty file, a folder named like a picture, a FIFO, a dangling link, an
// unreadable file, a name with a newline, and metadata a copy cannot hold as it stands. Each row
// states the exit code, a piece of the message, whether a copy is written (a failed input leaves
// nothing at all in the output folder) and the most memory the program may hold, its peak
// resident size as the kernel reports it to the parent that waits for it.
#include "engine/io/picture.h"
#include "engine/run/stampfile.h"
#include "tests/codecsamples.h"
#include "tests/hostilesamples.h"
#include "tests/testkit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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

QString tooLarge(int width, int height) {
    return QStringLiteral("picture too large: %1 x %2 pixels").arg(width).arg(height);
}

// A header that declares more pixels than its file can hold is refused before any is decoded.
Expected implausible(int width, int height) {
    return {1, QStringLiteral("damaged picture: it declares %1 x %2 pixels, more than its")
                   .arg(width)
                   .arg(height)};
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
    void manyImplausibleFilesStayWithinBudget();
    void picturesWaitTheirTurnInTheBudget();

private:
    void addCutRows();
    void addHeaderRows();
    void addScanRows();
    void addCeilingRows();
    void addMetadataRows();
    void addEntryRows();
    void makeEntry(const QString& path, Entry entry, const QByteArray& bytes);
    QString in(const QString& name) const { return dir_->filePath("in/" + name); }
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }

    QByteArray inflating_;
    QByteArray tiny613_; // a JPEG of 613 bytes whose header declares 49157 x 27397 pixels
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestHostile::initTestCase() {
    inflating_ = inflatingPng(16000);
    QVERIFY2(inflating_.size() < 800 * 1024, qPrintable(QString::number(inflating_.size())));
    // A greyscale JPEG of 8 x 8 pixels, padded with a comment to the size of the file met outside.
    tiny613_ = jpegDeclaring(makeJpeg(photoLike(8, 8), 1, 1, 50, JpegKind::Gray), 49157, 27397);
    QVERIFY2(tiny613_.size() <= 613, qPrintable(QString::number(tiny613_.size())));
    const qsizetype padding = 613 - tiny613_.size() - 4;
    if (padding >= 0) {
        QByteArray comment("\xFF\xFE", 2);
        comment += char((padding + 2) >> 8);
        comment += char((padding + 2) & 0xFF);
        tiny613_.insert(2, comment + QByteArray(padding, ' '));
    }
    QCOMPARE(tiny613_.size(), 613);
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
    addScanRows();
    addCeilingRows();
    addMetadataRows();
    addEntryRows();
}

void TestHostile::addCutRows() {
    const QImage picture = photoLike(160, 120);
    const QList<std::tuple<const char*, QString, QByteArray>> formats = {
        {"jpeg", "cut.jpg", makeJpeg(picture, 2, 2)},
        {"progressive jpeg", "cut.jpg", makeJpeg(picture, 2, 2, 85, JpegKind::Progressive)},
        {"png", "cut.png", encoded(picture, PictureFormat::Png)},
        {"interlaced png", "cut.png", readFile(TINTOREL_TEST_DATA "/pngsuite/basi2c08.png")},
        {"gif", "cut.gif",
         encoded(picture.convertToFormat(QImage::Format_Indexed8), PictureFormat::Gif)},
        {"bmp", "cut.bmp", encoded(picture, PictureFormat::Bmp)},
        {"bmp rle8", "cut.bmp", makeRle8Bmp(picture)},
        {"tiff", "cut.tif", encoded(picture, PictureFormat::Tiff)},
    };
    for (const auto& [format, file, whole] : formats) {
        // libtiff gives its own words for a strip that stops short.
        const QString reason = file.endsWith(".tif") ? QString() : kDataEndsEarlyText;
        for (int percent : {5, 50, 99}) {
            const QByteArray name =
                QByteArray(format) + " cut at " + QByteArray::number(percent) + "%";
            addFile(name.constData(), file, whole.left(whole.size() * percent / 100), {1, reason});
        }
    }
}

void TestHostile::addHeaderRows() {
    const QByteArray jpeg = makeJpeg(photoLike(64, 48), 2, 2);
    const QByteArray progressive = makeJpeg(photoLike(64, 48), 2, 2, 85, JpegKind::Progressive);
    addFile("png declaring 100000 x 100000", "bomb.png",
            pngWith(100000, 100000, zlibOf(QByteArray(1000, '\0'))), implausible(100000, 100000));
    // libpng holds an interlaced picture whole: without the bound it would set aside 40 GB.
    addFile("interlaced png declaring 100000 x 100000", "bomb.png",
            pngWith(100000, 100000, zlibOf(QByteArray(1000, '\0')), true),
            implausible(100000, 100000));
    addFile("png declaring a negative width", "bomb.png",
            pngWith(0xFFFFFFF0u, 100, zlibOf(QByteArray(1000, '\0'))),
            {1, "PNG unsigned integer out of range"});
    // A chunk's length is read before the chunk: libpng would clear that much memory for it.
    addFile("png with a text chunk declaring 2 GB", "bomb.png", textChunkBomb(),
            {1, "iTXt: chunk data is too large"});
    addFile("gif declaring 65535 x 65535", "bomb.gif", gifScreen(65535, 65535),
            implausible(65535, 65535));
    addFile("gif declaring 0 x 0", "bomb.gif", gifScreen(0, 0), {1, "Image is empty"});
    addFile("jpeg declaring 65500 x 65500", "bomb.jpg", jpegDeclaring(jpeg, 65500, 65500),
            implausible(65500, 65500));
    addFile("jpeg of 613 bytes declaring 49157 x 27397", "bomb.jpg", tiny613_,
            implausible(49157, 27397));
    addFile("progressive jpeg declaring 65500 x 65500", "bomb.jpg",
            jpegDeclaring(progressive, 65500, 65500), implausible(65500, 65500));
    addFile("jpeg declaring 0 x 0", "bomb.jpg", jpegDeclaring(jpeg, 0, 0), {1, "Empty JPEG image"});
    addFile("bmp declaring 100000 x 100000", "bomb.bmp", bmpDeclaring(100000, 100000),
            {1, kDataEndsEarlyText});
    addFile("bmp declaring a negative width", "bomb.bmp", bmpDeclaring(-100000, 100),
            {1, kDataEndsEarlyText});
    addFile("bmp declaring the most negative size", "bomb.bmp",
            bmpDeclaring(std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::min()),
            {1, kDataEndsEarlyText});
    addFile("tiff declaring 100000 x 100000", "bomb.tif", tiffDeclaring(100000, 100000),
            implausible(100000, 100000));
    addFile("tiff declaring a negative width", "bomb.tif", tiffDeclaring(0xFFFFFFFFu, 1),
            {1, "more than a picture can have"});
}

// Coded data that libjpeg decodes only with a warning: damaged, or scans that contradict or repeat
// the ones before them. Stamped, each would be a damaged copy reported written; the repeated scan
// kept a worker busy for minutes.
void TestHostile::addScanRows() {
    const QImage picture = photoLike(160, 120);
    addFile("arithmetic jpeg with a changed byte", "damaged.jpg",
            damagedArithmeticJpeg(picture, 126), {1, "Corrupt JPEG data: bad arithmetic code"});
    addFile("arithmetic jpeg with its first coded byte changed", "damaged.jpg",
            damagedArithmeticJpeg(picture, 0), {1, "extraneous bytes before marker"});
    addFile("progressive jpeg repeating a scan 50000 times", "endless.jpg",
            progressiveRepeatingScan(photoLike(64, 48), 0, 50000),
            {1, "Inconsistent progression sequence"});
    // A 0 in a quantisation table reads well, but no encoder can divide by it: the lossless way
    // leaves the picture to the normal one, with a note, instead of dying in libjpeg.
    QByteArray zero = makeJpeg(picture, 2, 2, 90);
    zero[zero.indexOf(QByteArray("\xFF\xDB", 2)) + 4 + 64] = 0;
    addFile("jpeg with a 0 in a quantisation table, lossless", "zero.jpg", zero,
            {0, "re-encoded, not stamped losslessly: a 0 in its quantisation tables", true},
            {"--jpeg", "lossless", "--format", "jpg"});
    addFile("progressive jpeg of 1005 scans", "endless.jpg",
            progressiveRepeatingScan(photoLike(64, 48), 3, 1000),
            {1, "Corrupt JPEG data: more than 500 scans"});
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
    addFile("webp beyond a ceiling of 1 megapixel", "big.webp", byQt(picture, "webp"), {1, refused},
            oneMegapixel + QStringList{"--format", "png"});
    addFile("png streaming past a ceiling of 1 megapixel", "big.png",
            encoded(picture, PictureFormat::Png), {0, "1 written", true},
            oneMegapixel + QStringList{"--format", "jpg"});
    // Written as JPEG, the fastest way for it: by rows, never more than a band of them in memory.
    addFile("png of 750 KB inflating to 16000 x 16000", "inflating.png", inflating_,
            {0, "1 written", true, 48}, {"--format", "jpg"});
    // The whole picture, held for a BMP copy, needs more than 8 MB however long it waits.
    addFile("bmp beyond a memory limit of 8 MB", "big.bmp", bmp,
            {1, "picture too large for the memory budget: 1200 x 1000 pixels need"},
            {"--memory-limit", "8M"});
    // Each frame of an animation is stamped whole: the ceiling holds them all together.
    const QStringList framesCeiling{"--max-megapixels", "1", "--format", "gif"};
    // (Not thousands of frames: giflib grows its list of frames one at a time, which an
    // instrumented build's quarantine counts as hundreds of megabytes held.)
    addFile("gif of 100 frames beyond a ceiling of 1 megapixel", "frames.gif",
            gifFrames(400, 400, 100, 1, 1),
            {1, "too many frames: 100 frames of 400 x 400 pixels (16.0 megapixels in all) are "
                "more than the 1.0 megapixels allowed"},
            framesCeiling);
    addFile("gif of 30 frames within a ceiling of 1 megapixel", "frames.gif",
            gifFrames(100, 100, 30, 1, 1), {0, "1 written", true}, framesCeiling);
    addFile("gif frame declaring 65535 x 65535 in a screen of 20 x 20", "frames.gif",
            gifFrames(20, 20, 3, 65535, 65535), {1, "Image EOF detected before image complete"},
            {"--format", "gif"});
    // A mark as wide as a 60000-pixel picture would be 40000 rows tall: only its 8 rows that
    // land on the picture are made.
    addFile("jpeg of 60000 x 8 with a mark scaled to its width", "wide.jpg",
            makeJpeg(photoLike(60000, 8), 2, 2), {0, "1 written", true, 96},
            {"--scale", "1", "--placement", "middle-middle", "--format", "jpg"});
}

// Metadata that a copy's format cannot hold as it stands: the picture is stamped all the same, and
// what goes is told.
void TestHostile::addMetadataRows() {
    const QImage picture = photoLike(64, 48);
    QByteArray xmp = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta "
                     "xmlns:x='adobe:ns:meta/'><rdf:RDF "
                     "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
                     "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' dc:format='" +
                     QByteArray(64500, 'x') + "'/></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    addFile("jpeg whose XMP fills its segment", "full.jpg",
            encoded(picture, PictureFormat::Jpeg, MetadataOf({}, xmp, {}, {})),
            {0, "1 written", true}, {"--format", "jpg"});
    addFile("jpeg with a profile that cannot be read, as png", "profiled.jpg",
            encoded(picture, PictureFormat::Jpeg, MetadataOf({}, {}, {}, QByteArray(600, 0x11))),
            {0, "colour profile left out: lcms2 cannot read it", true});
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

// Sixteen workers on sixteen copies of the 613-byte file: each is refused from its header, and
// the run ends with its summary, never near the budget.
void TestHostile::manyImplausibleFilesStayWithinBudget() {
    QStringList command{kCli,     "--watermark", in("mark.png"),   "--output", out().chopped(1),
                        "--jobs", "16",          "--memory-limit", "256M"};
    for (int i = 0; i < 16; ++i) {
        writeFile(in(QStringLiteral("bomb%1.jpg").arg(i)), tiny613_);
        command << in(QStringLiteral("bomb%1.jpg").arg(i));
    }
    QElapsedTimer timer;
    timer.start();
    const ChildRun run = runChild(command, dir_->filePath("peak.txt"));
    qInfo("peak memory %ld KB in %lld ms", run.peakKilobytes, timer.elapsed());
    QVERIFY2(run.code == 1, qPrintable(run.errors));
    QVERIFY2(run.errors.contains("0 written, 16 failed"), qPrintable(run.errors));
    QCOMPARE(run.errors.count("damaged picture: it declares 49157 x 27397 pixels"), 16);
    QVERIFY(run.peakKilobytes <= 256 * 1024L * kMemoryAllowance);
    QVERIFY(QDir(out()).isEmpty());
}

// Two BMPs of 9 megapixels held whole need 149 MB each, and hold about 100: with 200 MB for the
// run the second waits for the first instead of failing, and the process never holds both.
void TestHostile::picturesWaitTheirTurnInTheBudget() {
    const QByteArray bmp = encoded(photoLike(3000, 3000), PictureFormat::Bmp);
    writeFile(in("one.bmp"), bmp);
    writeFile(in("two.bmp"), bmp);
    const QStringList command{
        kCli, "--watermark",    in("mark.png"), "--output",    out().chopped(1), "--jobs",
        "2",  "--memory-limit", "200M",         in("one.bmp"), in("two.bmp")};
    const ChildRun run = runChild(command, dir_->filePath("peak.txt"));
    qInfo("peak memory %ld KB", run.peakKilobytes);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QVERIFY2(run.errors.contains("2 written"), qPrintable(run.errors));
    // The program's own 22 MB, and one picture's 149 MB at most; both at once take 230. The
    // instrumented build keeps freed memory aside in its quarantine, so the order of the two
    // pictures shows in the peak only without it.
    if (kMemoryAllowance == 1)
        QVERIFY(run.peakKilobytes <= 171 * 1024L);
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
