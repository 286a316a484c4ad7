// Marks sized by the picture, turned, tiled, drawn from SVG and layered: their geometry, their
// pixels on every way a picture is stamped, and runs that give the same bytes twice.
#include "engine/run/stampfile.h"
#include "engine/stamping/compose.h"
#include "engine/stamping/decode.h"
#include "engine/stamping/jpeglossless.h"
#include "engine/stamping/markshape.h"
#include "engine/stamping/marksource.h"
#include "support/errorreport.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <set>

namespace {
// A mark whose pixels differ everywhere, so that any pixel moved or resampled shows.
QImage Numbered(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba(x * 7 % 256, y * 11 % 256, (x * y) % 256, 255));
    return image;
}

// A mark that looks the same turned half round: a solid block.
StampMark Block(int width, int height, StampStyle style) {
    return StampMark(SolidImage(width, height, qRgb(200, 30, 30)), kWhite, style);
}

const QString kCircleSvg = QStringLiteral(
    "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='40' viewBox='0 0 40 40'>"
    "<circle cx='20' cy='20' r='18' fill='#0a0'/></svg>");

// The mark's stamped box and where it lies on a picture, as a run places it.
QRect PlacedBox(const StampMark& mark, int placement, QSize picture, const StampStyle& style) {
    const QSize box = mark.sizeFor(picture);
    const std::vector<QPoint> places =
        MarkPlaces(placement, picture, mark.drawnSizeFor(picture), box, style);
    return places.size() == 1 ? QRect(places.front(), box) : QRect();
}
} // namespace

class TestMarks : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }

    void portraitAndLandscapeGetEqualBoxes_data();
    void portraitAndLandscapeGetEqualBoxes();
    void tileIsSymmetricAboutTheCentre_data();
    void tileIsSymmetricAboutTheCentre();
    void quarterTurnsMovePixelsExactly_data();
    void quarterTurnsMovePixelsExactly();
    void otherTurnsAreSmoothWithSoftEdges();
    void enlargedRasterIsSmoothAndSvgSharp();
    void bandsStampWhatTheWholePictureGets_data();
    void bandsStampWhatTheWholePictureGets();
    void previewShowsTheTileTheRunStamps_data();
    void previewShowsTheTileTheRunStamps();
    void furtherMarksGoOverTheFirstInOrder();
    void losslessTileKeepsUntouchedBlocksAndSaysWhenMostAreTouched();
    void twoRunsGiveTheSameBytes_data();
    void twoRunsGiveTheSameBytes();
    void commandLineDrawsLetters_data();
    void commandLineDrawsLetters();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    StampResult stampFile(const QString& input, const QString& output, PictureFormat format,
                          const WatermarkJob& job, bool lossless = false) const;

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestMarks::portraitAndLandscapeGetEqualBoxes_data() {
    QTest::addColumn<QSize>("markSize");
    QTest::addColumn<int>("scaleOf");
    QTest::addColumn<double>("marginPercent");
    QTest::addColumn<double>("rotation");
    QTest::addColumn<int>("placement");
    QTest::newRow("wide mark, short edge, 2 %, bottom right")
        << QSize(300, 100) << int(ScaleOf::Short) << 2.0 << 0.0 << 8;
    QTest::newRow("tall mark, short edge, 3.5 %, upper left")
        << QSize(90, 270) << int(ScaleOf::Short) << 3.5 << 0.0 << 0;
    QTest::newRow("long edge, no margin, middle right")
        << QSize(200, 120) << int(ScaleOf::Long) << 0.0 << 0.0 << 5;
    QTest::newRow("turned 30 degrees, bottom left")
        << QSize(300, 100) << int(ScaleOf::Short) << 1.0 << 30.0 << 6;
    QTest::newRow("turned a quarter, upper middle")
        << QSize(300, 100) << int(ScaleOf::Short) << 5.0 << 90.0 << 1;
}

// With the scale and the margin of the short edge, a photo held either way gets the same mark at
// the same distances from the edges it is placed against.
void TestMarks::portraitAndLandscapeGetEqualBoxes() {
    QFETCH(QSize, markSize);
    QFETCH(int, scaleOf);
    QFETCH(double, marginPercent);
    QFETCH(double, rotation);
    QFETCH(int, placement);
    StampStyle style;
    style.scale = 0.2;
    style.scaleOf = ScaleOf(scaleOf);
    style.marginPercent = marginPercent;
    style.rotation = rotation;
    const StampMark mark = Block(markSize.width(), markSize.height(), style);
    const QSize landscape(4000, 3000), portrait(3000, 4000);
    const QRect a = PlacedBox(mark, placement, landscape, style);
    const QRect b = PlacedBox(mark, placement, portrait, style);
    QCOMPARE(a.size(), b.size());
    QCOMPARE(mark.forPicture(landscape).pixels(), mark.forPicture(portrait).pixels());
    const auto gaps = [](QRect box, QSize picture) {
        return QList<int>{box.left(), box.top(), picture.width() - 1 - box.right(),
                          picture.height() - 1 - box.bottom()};
    };
    const QList<int> landscapeGaps = gaps(a, landscape), portraitGaps = gaps(b, portrait);
    const int margin = int(std::lround(marginPercent / 100 * 3000));
    // The edges it is placed against: left or right by column, top or bottom by row.
    const int column = placement % 3, row = placement / 3;
    for (const int side : {column == 0   ? 0
                           : column == 2 ? 2
                                         : -1,
                           row == 0   ? 1
                           : row == 2 ? 3
                                      : -1}) {
        if (side < 0)
            continue;
        QCOMPARE(landscapeGaps[side], margin);
        QCOMPARE(portraitGaps[side], margin);
    }
}

void TestMarks::tileIsSymmetricAboutTheCentre_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("rotation");
    QTest::addColumn<double>("gap");
    QTest::addColumn<bool>("stagger");
    QTest::newRow("odd by odd") << QSize(301, 201) << 0.1 << 0.0 << 100.0 << false;
    QTest::newRow("odd by even, staggered") << QSize(301, 200) << 0.07 << 0.0 << 60.0 << true;
    QTest::newRow("even by odd, a quarter turn")
        << QSize(300, 199) << 0.1 << 90.0 << 100.0 << false;
    QTest::newRow("turned 30, staggered") << QSize(257, 181) << 0.1 << 30.0 << 50.0 << true;
    QTest::newRow("turned -45, no gap") << QSize(199, 203) << 0.08 << -45.0 << 0.0 << false;
    QTest::newRow("own size, odd mark") << QSize(201, 151) << 0.0 << 0.0 << 100.0 << true;
}

// The places of the copies mirror each other through the picture's centre; with a mark that
// looks the same half turned, so does every stamped pixel (up to sampling for other turns).
void TestMarks::tileIsSymmetricAboutTheCentre() {
    QFETCH(QSize, picture);
    QFETCH(double, scale);
    QFETCH(double, rotation);
    QFETCH(double, gap);
    QFETCH(bool, stagger);
    StampStyle style{
        .scale = scale, .rotation = rotation, .tile = true, .tileGap = gap, .tileStagger = stagger};
    const StampMark mark = Block(scale > 0 ? 40 : 11, scale > 0 ? 24 : 7, style);
    const StampMark finished = mark.forPicture(picture);
    const QSize box = finished.size();
    QCOMPARE(box, mark.sizeFor(picture));
    const std::vector<QPoint> places =
        MarkPlaces(0, picture, mark.drawnSizeFor(picture), box, style);
    QVERIFY(places.size() > 4);
    std::set<std::pair<int, int>> set;
    for (QPoint p : places)
        set.emplace(p.x(), p.y());
    for (QPoint p : places) {
        const QPoint mirror(picture.width() - box.width() - p.x(),
                            picture.height() - box.height() - p.y());
        QVERIFY2(set.count({mirror.x(), mirror.y()}),
                 qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
    }
    QImage stamped = SolidImage(picture.width(), picture.height(), qRgb(0, 0, 0));
    StampImage(stamped, StampPlan{finished, places});
    const QImage turned = stamped.mirrored(true, true);
    const bool exact = std::fmod(rotation, 90.0) == 0;
    QVERIFY(exact ? stamped == turned : meanError(stamped, turned) < 1.0);
}

void TestMarks::quarterTurnsMovePixelsExactly_data() {
    QTest::addColumn<double>("rotation");
    QTest::newRow("90") << 90.0;
    QTest::newRow("180") << 180.0;
    QTest::newRow("270") << 270.0;
    QTest::newRow("-90, which is 270") << -90.0;
    QTest::newRow("450, which is 90") << 450.0;
}

void TestMarks::quarterTurnsMovePixelsExactly() {
    QFETCH(double, rotation);
    const QImage own = Numbered(13, 5);
    const StampMark mark =
        StampMark(own, kWhite, StampStyle{.rotation = rotation}).forPicture(QSize(100, 100));
    const int quarters = int(NormalTurn(rotation) / 90);
    const QImage& turned = mark.pixels();
    QCOMPARE(turned.size(), quarters % 2 ? own.size().transposed() : own.size());
    for (int y = 0; y < own.height(); ++y)
        for (int x = 0; x < own.width(); ++x) {
            // Counter-clockwise on the screen: the right edge goes to the top.
            const int w = own.width(), h = own.height();
            const QPoint to = quarters == 1   ? QPoint(y, w - 1 - x)
                              : quarters == 2 ? QPoint(w - 1 - x, h - 1 - y)
                                              : QPoint(h - 1 - y, x);
            QCOMPARE(turned.pixel(to), own.pixel(x, y));
        }
}

void TestMarks::otherTurnsAreSmoothWithSoftEdges() {
    const StampMark mark = Block(60, 20, StampStyle{.rotation = 30}).forPicture(QSize(200, 200));
    // The box of 60 x 20 turned 30 degrees: 60 cos 30 + 20 sin 30 by 60 sin 30 + 20 cos 30.
    QCOMPARE(mark.size(), QSize(62, 48));
    std::set<int> alphas;
    for (int y = 0; y < mark.size().height(); ++y)
        for (int x = 0; x < mark.size().width(); ++x)
            alphas.insert(qAlpha(mark.pixels().pixel(x, y)));
    QVERIFY(alphas.count(0) && alphas.count(255));
    QVERIFY2(alphas.size() > 20, "the turned edges are cut hard");
    // The colour is kept where the mark is whole.
    QCOMPARE(mark.pixels().pixel(31, 24), qRgba(200, 30, 30, 255));
}

// An enlarged raster mark is interpolated, not made of blocks; an SVG is drawn at its stamped
// size, its edge as sharp there as at its own.
void TestMarks::enlargedRasterIsSmoothAndSvgSharp() {
    QImage checker(2, 2, QImage::Format_ARGB32);
    checker.fill(qRgb(0, 0, 0));
    checker.setPixel(1, 0, qRgb(255, 255, 255));
    checker.setPixel(0, 1, qRgb(255, 255, 255));
    const StampMark raster = StampMark(checker, 0x123456, StampStyle{.scale = 0.5});
    const QImage big = raster.forPicture(QSize(40, 40)).pixels();
    QCOMPARE(big.size(), QSize(20, 20));
    const int middle = qRed(big.pixel(10, 3));
    QVERIFY2(middle > 40 && middle < 215, qPrintable(QString::number(middle)));

    const QString svg = path("circle.svg");
    QFile file(svg);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kCircleSvg.toUtf8()) > 0);
    file.close();
    QVERIFY(IsSvgFile(svg));
    const StampMark mark = LoadMark(svg, kWhite, StampStyle{.scale = 0.5}, 1 << 20);
    QCOMPARE(mark.size(), QSize(40, 40));
    const QImage drawn = mark.forPicture(QSize(800, 600)).pixels();
    QCOMPARE(drawn.size(), QSize(400, 400));
    // Along the middle row, from clear to solid green within two pixels.
    int partial = 0;
    for (int x = 0; x < 200; ++x) {
        const int alpha = qAlpha(drawn.pixel(x, 200));
        partial += alpha > 0 && alpha < 255;
    }
    QVERIFY2(partial <= 2, qPrintable(QString::number(partial)));
    QCOMPARE(drawn.pixel(200, 200), qRgba(0, 0xaa, 0, 255));
}

StampResult TestMarks::stampFile(const QString& input, const QString& output, PictureFormat format,
                                 const WatermarkJob& job, bool lossless) const {
    OutputChoices choices;
    choices.losslessJpeg = lossless;
    StampRequest request;
    request.inputPath = input;
    request.output = {output, format};
    request.placement = job.Placement;
    request.choices = &choices;
    request.style = &job.Style;
    request.maxPixels = qint64(1) << 30;
    RunWatermark watermark(job, request.maxPixels);
    return StampFile(request, watermark);
}

void TestMarks::bandsStampWhatTheWholePictureGets_data() {
    QTest::addColumn<double>("rotation");
    QTest::addColumn<bool>("stagger");
    QTest::newRow("upright") << 0.0 << false;
    QTest::newRow("turned 20, staggered") << 20.0 << true;
    QTest::newRow("a quarter") << 90.0 << true;
}

// A tile stamped a band of rows at a time, its copies crossing the bands' edges, gives the
// pixels that stamping the whole picture gives.
void TestMarks::bandsStampWhatTheWholePictureGets() {
    QFETCH(double, rotation);
    QFETCH(bool, stagger);
    const QImage picture = photoLike(203, 157).convertToFormat(QImage::Format_RGB32);
    WriteImage(picture, path("in.png"), "png");
    WriteImage(Numbered(21, 9), path("mark.png"), "png");
    WatermarkJob job;
    job.WatermarkPath = path("mark.png");
    job.Style = StampStyle{
        .scale = 0.1, .rotation = rotation, .tile = true, .tileGap = 40, .tileStagger = stagger};
    QVERIFY(stampFile(path("in.png"), path("out.png"), PictureFormat::Png, job).written);

    const StampMark mark = LoadMark(job.WatermarkPath, kWhite, job.Style, 1 << 20);
    QImage expected = picture;
    StampImage(expected, StampPlan{mark.forPicture(picture.size()),
                                   MarkPlaces(0, picture.size(), mark.drawnSizeFor(picture.size()),
                                              mark.sizeFor(picture.size()), job.Style)});
    QCOMPARE(LoadPicture(path("out.png")).convertToFormat(QImage::Format_RGB32), expected);
}

void TestMarks::previewShowsTheTileTheRunStamps_data() {
    QTest::addColumn<QSize>("room");
    QTest::newRow("whole") << QSize();
    QTest::newRow("reduced to a half") << QSize(120, 90);
}

// The preview composes the turned, tiled SVG mark where the run stamps it: exactly at full size,
// and reduced with the picture when the window shows it smaller.
void TestMarks::previewShowsTheTileTheRunStamps() {
    QFETCH(QSize, room);
    const QImage picture = SolidImage(240, 180, qRgb(0, 0, 80));
    WriteImage(picture, path("in.png"), "png");
    writeFile(path("mark.svg"), kCircleSvg.toUtf8());
    PreviewRequest request;
    request.imagePath = path("in.png");
    request.watermarkPath = path("mark.svg");
    request.style = StampStyle{.scale = 0.1, .rotation = 90, .tile = true, .tileStagger = true};
    request.room = room;
    request.maxPixels = 1 << 20;
    Guard guard(
        [](int step, const QString& text) { QFAIL(qPrintable(QString::number(step) + text)); });
    const ReducedPicture shown = ComposePreview(request, guard, 1);
    QVERIFY(!shown.picture.isNull());

    const StampMark mark = LoadMark(request.watermarkPath, kWhite, request.style, 1 << 20);
    QImage expected = picture;
    StampImage(expected, StampPlan{mark.forPicture(picture.size()),
                                   MarkPlaces(0, picture.size(), mark.drawnSizeFor(picture.size()),
                                              mark.sizeFor(picture.size()), request.style)});
    const QImage got = shown.picture.convertToFormat(QImage::Format_RGB32);
    if (room.isEmpty()) {
        QCOMPARE(got, expected);
    } else {
        QCOMPARE(got.size(), room);
        const QImage smaller =
            expected.scaled(room, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QVERIFY2(meanError(got, smaller) < 6, qPrintable(QString::number(meanError(got, smaller))));
    }
}

void TestMarks::furtherMarksGoOverTheFirstInOrder() {
    const QImage picture = SolidImage(120, 80, qRgb(0, 0, 255));
    WriteImage(picture, path("in.png"), "png");
    WriteImage(SolidImage(30, 20, qRgb(255, 0, 0)), path("red.png"), "png");
    WriteImage(SolidImage(10, 10, qRgb(0, 255, 0)), path("green.png"), "png");
    WatermarkJob job;
    job.WatermarkPath = path("red.png");
    job.Placement = int(WatermarkPlacement::MiddleMiddle);
    job.MoreMarks << MarkLayer{path("green.png"), {}, int(WatermarkPlacement::MiddleMiddle), {}}
                  << MarkLayer{path("green.png"),
                               {},
                               int(WatermarkPlacement::BottomRight),
                               StampStyle{.margin = 5, .opacity = 50}};
    QVERIFY(stampFile(path("in.png"), path("out.png"), PictureFormat::Png, job).written);
    const QImage out = LoadPicture(path("out.png"));
    QCOMPARE(out.pixel(60, 40), qRgb(0, 255, 0));    // the second over the first
    QCOMPARE(out.pixel(47, 32), qRgb(255, 0, 0));    // the first around it
    QCOMPARE(out.pixel(110, 70), qRgb(0, 128, 127)); // the third, half strong, 5 pixels in
    QCOMPARE(out.pixel(116, 76), qRgb(0, 0, 255));
}

// A tile over a JPEG keeps every block no copy lies on bit for bit, and says so when most of the
// picture is coded anew.
void TestMarks::losslessTileKeepsUntouchedBlocksAndSaysWhenMostAreTouched() {
    writeFile(path("in.jpg"), makeJpeg(photoLike(256, 192), 2, 2, 90));
    WriteImage(SolidImage(16, 16, qRgb(255, 0, 0)), path("mark.png"), "png");
    WatermarkJob job;
    job.WatermarkPath = path("mark.png");
    job.Style = StampStyle{.tile = true, .tileGap = 300};
    StampResult result =
        stampFile(path("in.jpg"), path("sparse.jpg"), PictureFormat::Jpeg, job, true);
    QVERIFY(result.written);
    QCOMPARE(result.notes, QStringList());
    const JpegBlocksRead before = readJpegBlocks(path("in.jpg"));
    const JpegBlocksRead after = readJpegBlocks(path("sparse.jpg"));
    // The picture's centre block of luminance lies under the centre copy; one between copies
    // keeps its coefficients.
    QVERIFY(
        !std::equal(before.block(0, 16, 12), before.block(0, 16, 12) + 64, after.block(0, 16, 12)));
    QVERIFY(
        std::equal(before.block(0, 13, 12), before.block(0, 13, 12) + 64, after.block(0, 13, 12)));

    job.Style.tileGap = 10;
    result = stampFile(path("in.jpg"), path("dense.jpg"), PictureFormat::Jpeg, job, true);
    QVERIFY(result.written);
    QCOMPARE(result.notes.size(), 1);
    QVERIFY2(result.notes[0].startsWith("stamped losslessly, but the watermark covers "),
             qPrintable(result.notes[0]));
}

void TestMarks::twoRunsGiveTheSameBytes_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("lossless");
    QTest::newRow("JPEG") << int(PictureFormat::Jpeg) << false;
    QTest::newRow("lossless JPEG") << int(PictureFormat::Jpeg) << true;
    QTest::newRow("PNG") << int(PictureFormat::Png) << false;
}

void TestMarks::twoRunsGiveTheSameBytes() {
    QFETCH(int, format);
    QFETCH(bool, lossless);
    writeFile(path("in.jpg"), makeJpeg(photoLike(301, 211), 2, 2, 90));
    QFile svg(path("mark.svg"));
    QVERIFY(svg.open(QIODevice::WriteOnly) && svg.write(kCircleSvg.toUtf8()) > 0);
    svg.close();
    WriteImage(Numbered(30, 12), path("logo.png"), "png");
    WatermarkJob job;
    job.WatermarkPath = path("mark.svg");
    job.Style = StampStyle{.scale = 0.08,
                           .scaleOf = ScaleOf::Short,
                           .opacity = 70,
                           .rotation = 33,
                           .tile = true,
                           .tileStagger = true};
    job.MoreMarks << MarkLayer{path("logo.png"),
                               {},
                               int(WatermarkPlacement::BottomRight),
                               StampStyle{.scale = 0.2, .marginPercent = 2, .rotation = 90}};
    QByteArray first;
    for (const QString name : {"one", "two"}) {
        const QString output = path(name);
        QVERIFY(stampFile(path("in.jpg"), output, PictureFormat(format), job, lossless).written);
        const QByteArray bytes = readFile(output);
        QVERIFY(!bytes.isEmpty());
        if (first.isEmpty())
            first = bytes;
        else
            QVERIFY(bytes == first);
    }
}

void TestMarks::commandLineDrawsLetters_data() {
    QTest::addColumn<QStringList>("marks");
    QTest::newRow("an SVG with letters") << QStringList{"--watermark", "words.svg"};
    QTest::newRow("a preset's further mark a text")
        << QStringList{"--watermark", "dot.png", "--preset", "texts.ini"};
}

// Letters need Qt's fonts, which the command line has only when it starts them: for an SVG, which
// may hold text, and for a text, be it the first mark or a preset's further one.
void TestMarks::commandLineDrawsLetters() {
    QFETCH(QStringList, marks);
    WriteImage(SolidImage(200, 100, qRgb(0, 0, 0)), path("in.png"), "png");
    WriteImage(SolidImage(1, 1, qRgb(0, 0, 0)), path("dot.png"), "png");
    writeFile(path("words.svg"), "<svg xmlns='http://www.w3.org/2000/svg' width='60' height='20'>"
                                 "<text x='2' y='16' font-size='16' fill='#fff'>Ab</text></svg>");
    writeFile(path("texts.ini"), "[Mark 1]\nwatermark = dot.png\n[Mark 2]\ntext = Ab\n"
                                 "text-size = 20\nplacement = middle-middle\n");
    for (QString& mark : marks)
        if (mark.contains('.'))
            mark = path(mark);
    const ProcessResult result =
        RunCli(marks + QStringList{"--output", path("out"), "--scale", "0.5", "--placement",
                                   "middle-middle", "--quiet", path("in.png")});
    QCOMPARE(result.code, 0);
    // Its messages alone, none of Qt's own.
    QCOMPARE(result.errors.count(QLatin1Char('\n')), 2);
    const QImage out = LoadPicture(path("out/in.png"));
    int lit = 0;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            lit += qGray(out.pixel(x, y)) > 128;
    QVERIFY2(lit > 50, qPrintable(QString::number(lit)));
}

QTEST_GUILESS_MAIN(TestMarks)
#include "tst_marks.moc"
