// Text marks: the variables filled from a picture's EXIF, name, place and time; the patterns and
// fonts refused before a run; the letters' size following the picture's short edge; and the
// command line drawing the same bytes twice. Fonts need a QGuiApplication, so this test has one
// (on the offscreen platform), unlike the engine's other tests.
#include "engine/io/picturefacts.h"
#include "engine/io/picturereader.h"
#include "engine/stamping/marktext.h"
#include "engine/stamping/textmark.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kDejaVu = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");

// A JPEG named as a camera names it, with a camera's EXIF, or without any EXIF; its file time is
// 2020-02-03 04:05:06 local time.
QString WritePhoto(const QString& folder, const QString& name, bool exif) {
    const QString path = folder + QLatin1Char('/') + name;
    writeFile(path, makeJpeg(photoLike(120, 80), 2, 2));
    if (exif) {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        Exiv2::ExifData data;
        data["Exif.Photo.DateTimeOriginal"] = "2021:06:15 18:30:00";
        data["Exif.Image.Artist"] = "Ada Byron";
        data["Exif.Image.Copyright"] = "(c) Ada";
        data["Exif.Image.Make"] = "Canon  ";
        data["Exif.Image.Model"] = "Canon EOS R5";
        data["Exif.Photo.LensModel"] = "RF24-70mm F2.8 L IS USM";
        data["Exif.Photo.ISOSpeedRatings"] = uint16_t(400);
        data["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
        data["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        data["Exif.Photo.FocalLength"] = Exiv2::URational(35, 1);
        image->setExifData(data);
        image->writeMetadata();
    }
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.setFileTime(QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6)),
                     QFileDevice::FileModificationTime);
    return path;
}

MarkTextValues ValuesOf(const QString& path, int place) {
    const auto reader = PictureReader::open(path);
    return {path, place, FactsOf(reader->metadata()), QFileInfo(path).lastModified(),
            reader->size()};
}

// The rows in which some pixel is at least half opaque: the height the letters take.
int InkedRows(const QImage& mark) {
    int first = -1, last = -1;
    for (int y = 0; y < mark.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(mark.constScanLine(y));
        for (int x = 0; x < mark.width(); ++x) {
            if (qAlpha(line[x]) >= 128) {
                first = first < 0 ? y : first;
                last = y;
                break;
            }
        }
    }
    return first < 0 ? 0 : last - first + 1;
}

// Whether any pixel drawn well over half of the mark is darker (or lighter) than the given grey.
bool HasPixel(const QImage& mark, bool dark) {
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x) {
            const QRgb pixel = mark.pixel(x, y);
            if (qAlpha(pixel) > 100 && (dark ? qGray(pixel) < 40 : qGray(pixel) > 215))
                return true;
        }
    return false;
}
} // namespace

class TestText : public QObject, public CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void fillsVariables_data();
    void fillsVariables();
    void refusesPatterns_data();
    void refusesPatterns();
    void refusesFonts_data();
    void refusesFonts();
    void capitalHeightFollowsShortEdge();
    void outlineAndShadowContrast_data();
    void outlineAndShadowContrast();
    void cliRefusesBeforeRun_data();
    void cliRefusesBeforeRun();
    void cliStampsSameBytesTwice();
    void cliNotesEmptyVariables();
};

void TestText::fillsVariables_data() {
    QTest::addColumn<bool>("exif");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("empty");
    const auto row = [](const char* name, bool exif, const char* pattern, const char* text,
                        QStringList empty = {}) {
        QTest::newRow(name) << exif << QString(pattern) << QString::fromUtf8(text) << empty;
    };
    row("name and ext", true, "{name}.{ext}", "IMG_0042.jpg");
    row("place padded", true, "#{n:04} #{n}", "#0007 #7");
    row("date from EXIF", true, "{date} {date:%Y-%m} {year}", "2021-06-15 2021-06 2021");
    row("date from file time", false, "{date:%Y-%m %H:%M} {year}", "2020-02 04:05 2020");
    row("people", true, "{artist} {copyright}", "Ada Byron (c) Ada");
    row("camera named once", true, "{camera}", "Canon EOS R5");
    row("exposure", true, "{iso} {aperture} {exposure} {focal}", "400 f/2.8 1/250 s 35 mm");
    row("lens", true, "{lens}", "RF24-70mm F2.8 L IS USM");
    row("size", false, "{width}x{height}", "120x80");
    row("fallback unused", true, "{artist|anon}", "Ada Byron");
    row("fallback used", false, "{artist|anon: unknown}", "anon: unknown");
    row("empty without fallback", false, "by {artist}, {camera}", "by , ",
        {"{artist}", "{camera}"});
    row("braces", false, "{{n}} }} {{", "{n} } {");
}

void TestText::fillsVariables() {
    QFETCH(bool, exif);
    QFETCH(QString, pattern);
    QVERIFY2(MarkTextRefusal(pattern).isEmpty(), qPrintable(MarkTextRefusal(pattern)));
    const QString path = WritePhoto(dir_->path(), QStringLiteral("IMG_0042.jpg"), exif);
    const FilledMarkText filled = FillMarkText(pattern, ValuesOf(path, 7));
    QTEST(filled.text, "text");
    QTEST(filled.empty, "empty");
}

void TestText::refusesPatterns_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("refusal"); // a part of the message; empty: taken
    QTest::newRow("unknown") << "(c) {year} {photographer}"
                             << "unknown variable {photographer}";
    QTest::newRow("unknown with fallback") << "{who|x}"
                                           << "unknown variable {who|x}";
    QTest::newRow("not closed") << "{artist"
                                << "the variable {artist in the text is not closed";
    QTest::newRow("nested") << "{art{ist}"
                            << "the variable {art in the text is not closed";
    QTest::newRow("lone close") << "a}b"
                                << "closes no variable";
    QTest::newRow("format not taken") << "{artist:upper}"
                                      << "{artist:upper} takes no format";
    QTest::newRow("width not a number") << "{n:x}"
                                        << "{n:x} takes a width";
    QTest::newRow("empty date format") << "{date:}"
                                       << "needs a format";
    QTest::newRow("fallback with colon and brace text") << "{artist|a:b} {{x}}"
                                                        << "";
    QTest::newRow("plain") << "no variables at all"
                           << "";
}

void TestText::refusesPatterns() {
    QFETCH(QString, pattern);
    QFETCH(QString, refusal);
    const QString found = MarkTextRefusal(pattern);
    if (refusal.isEmpty())
        QVERIFY2(found.isEmpty(), qPrintable(found));
    else
        QVERIFY2(found.contains(refusal), qPrintable(found));
}

void TestText::refusesFonts_data() {
    QTest::addColumn<QString>("font");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("usual") << ""
                           << "";
    QTest::newRow("family") << "DejaVu Sans"
                            << "";
    QTest::newRow("family in other case") << "dejavu sans"
                                          << "";
    QTest::newRow("font file") << kDejaVu << "";
    QTest::newRow("missing family") << "No Such Family"
                                    << "the font \"No Such Family\" is not installed";
    QTest::newRow("missing file") << "/nonexistent/x.ttf"
                                  << "cannot read the font file /nonexistent/x.ttf";
    QTest::newRow("not a font") << "@notfont.ttf"
                                << "notfont.ttf is not a font file";
}

void TestText::refusesFonts() {
    QFETCH(QString, font);
    QFETCH(QString, refusal);
    if (font.startsWith('@')) {
        font = dir_->filePath(font.mid(1));
        writeFile(font, "not a font, though named like one");
    }
    const std::optional<QString> found = FontRefusal(font);
    QCOMPARE(found.value_or(QString()).isEmpty(), refusal.isEmpty());
    if (found)
        QVERIFY2(found->endsWith(refusal), qPrintable(*found));
    if (!found) // a font that is taken draws
        QVERIFY(!RenderTextMark(TextStyle{"H", font}, "H", QSize(400, 300)).isNull());
}

void TestText::capitalHeightFollowsShortEdge() {
    TextStyle style;
    style.font = kDejaVu;
    style.sizePercent = 4;
    // 4 % of a 500 pixel short edge: capitals 20 pixels tall, in either orientation, for a short
    // text or a long one.
    for (const QSize picture : {QSize(1000, 500), QSize(500, 1000)})
        for (const char* text : {"H", "HEIGHT HOLDS"}) {
            const QImage mark = RenderTextMark(style, text, picture);
            QCOMPARE(mark.format(), QImage::Format_ARGB32);
            QVERIFY2(qAbs(InkedRows(mark) - 20) <= 1, qPrintable(QString::number(InkedRows(mark))));
        }
    // Two lines, written as \n or as a newline, are one line's height and a line's spacing apart.
    const int one = InkedRows(RenderTextMark(style, "H", QSize(1000, 500)));
    const QImage written = RenderTextMark(style, "H\\nH", QSize(1000, 500));
    QCOMPARE(written, RenderTextMark(style, "H\nH", QSize(1000, 500)));
    QVERIFY(InkedRows(written) > 2 * one);
    style.sizePercent = 10;
    QVERIFY(qAbs(InkedRows(RenderTextMark(style, "H", QSize(300, 2000))) - 30) <= 1);
}

void TestText::outlineAndShadowContrast_data() {
    QTest::addColumn<QRgb>("color");
    QTest::addColumn<bool>("outline");
    QTest::addColumn<bool>("shadow");
    QTest::addColumn<bool>("darkEdge");
    QTest::newRow("white, outlined") << QRgb(0xffffffff) << true << false << true;
    QTest::newRow("white, shadowed") << QRgb(0xffffffff) << false << true << true;
    QTest::newRow("black, outlined") << QRgb(0xff000000) << true << false << false;
    QTest::newRow("navy, both") << QRgb(0xff102040) << true << true << false;
}

void TestText::outlineAndShadowContrast() {
    QFETCH(QRgb, color);
    QFETCH(bool, outline);
    QFETCH(bool, shadow);
    QFETCH(bool, darkEdge);
    TextStyle plain{"Mark", kDejaVu, color, 6};
    TextStyle edged = plain;
    edged.outline = outline;
    edged.shadow = shadow;
    const QSize picture(800, 600);
    const QImage bare = RenderTextMark(plain, "Mark", picture);
    const QImage mark = RenderTextMark(edged, "Mark", picture);
    QVERIFY(!HasPixel(bare, darkEdge));
    QVERIFY(HasPixel(mark, darkEdge));
    QVERIFY(mark.width() > bare.width() && mark.height() > bare.height());
    // Drawn again, the same pixels.
    QCOMPARE(RenderTextMark(edged, "Mark", picture), mark);
}

void TestText::cliRefusesBeforeRun_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown variable")
        << QStringList{"--text", "{nmae}"} << "tintorel-cli: unknown variable {nmae}";
    QTest::newRow("missing font") << QStringList{"--text", "x", "--font", "Nonexistent Sans"}
                                  << "tintorel-cli: the font \"Nonexistent Sans\" is not installed";
    QTest::newRow("bad colour") << QStringList{"--text", "x", "--text-color", "fff"}
                                << "tintorel-cli: unknown text colour \"fff\"";
    QTest::newRow("no size") << QStringList{"--text", "x", "--text-size", "0"}
                             << "tintorel-cli: --text-size takes";
    QTest::newRow("with a watermark") << QStringList{"--text", "x", "--watermark", "m.png"}
                                      << "tintorel-cli: --text draws the mark in place";
}

void TestText::cliRefusesBeforeRun() {
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    WritePhoto(in({}), "a.jpg", true);
    const QString output = dir_->filePath("made");
    const ProcessResult result = RunCli(options + QStringList{"--output", output, in("a.jpg")});
    QCOMPARE(result.code, 2);
    QVERIFY2(result.errors.startsWith(message), qPrintable(result.errors));
    QCOMPARE(result.errors.count(QStringLiteral("tintorel-cli:")), 1);
    QVERIFY(!QFileInfo::exists(output)); // no picture touched, not even the folder made
}

void TestText::cliStampsSameBytesTwice() {
    const QString input = WritePhoto(in({}), "a.jpg", true);
    const QStringList options{"--text",         "{artist} {n:02}\\n{date:%d.%m.%Y}",
                              "--font",         kDejaVu,
                              "--text-outline", "--text-shadow",
                              "--text-color",   "FFD700C0",
                              "--text-size",    "15",
                              "--placement",    "middle-middle",
                              "--quiet"};
    QDir().mkpath(out("again"));
    QCOMPARE(RunCli(options + QStringList{"--output", out().chopped(1), input}).code, 0);
    QCOMPARE(RunCli(options + QStringList{"--output", out("again"), input}).code, 0);
    const QByteArray first = readFile(out("a.jpg"));
    QVERIFY(!first.isEmpty());
    QCOMPARE(readFile(out("again/a.jpg")), first);
    // The text is stamped where the middle placement puts it, and nowhere near the corners.
    const QImage before = readWhole(input), after = readWhole(out("a.jpg"));
    const double middle = meanError(before.copy(30, 25, 60, 30), after.copy(30, 25, 60, 30));
    const double corner = meanError(before.copy(0, 0, 12, 12), after.copy(0, 0, 12, 12));
    QVERIFY2(middle > 4 * corner, qPrintable(QStringLiteral("%1 %2").arg(middle).arg(corner)));
    // A rerun with the same text is up to date; another text is a new copy.
    const QStringList update{"--update", "--output", out().chopped(1), input};
    QVERIFY(RunCli(options + update).errors.contains("1 up to date"));
    QStringList changed = options;
    changed[1] = "{copyright}";
    QVERIFY(RunCli(changed + update).errors.contains("1 written"));
}

void TestText::cliNotesEmptyVariables() {
    WritePhoto(in({}), "bare.jpg", false);
    WritePhoto(in({}), "camera.jpg", true);
    const ProcessResult result =
        RunCli({"--text", "{artist} {camera|?} {lens}", "--output", out().chopped(1), "--report",
                "-", "--quiet", in("bare.jpg"), in("camera.jpg")});
    QCOMPARE(result.code, 0);
    QVERIFY(QFileInfo::exists(out("bare.jpg")) && QFileInfo::exists(out("camera.jpg")));
    QVERIFY2(result.errors.contains(in("bare.jpg") +
                                    ": the mark's {artist}, {lens} are empty for this picture"),
             qPrintable(result.errors));
    QVERIFY(!result.errors.contains(in("camera.jpg") + ": the mark"));
    QVERIFY(result.output.contains("are empty for this picture")); // the report's message
}

QTEST_MAIN(TestText)
#include "tst_text.moc"
