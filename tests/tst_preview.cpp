// The preview window: its design, its size on and beyond the screen, its picture and position,
// the picture made on a worker while the window answers, and its life beside the batch run.
#include "app/appearance.h"
#include "app/form1.h"
#include "engine/run/batch.h"
#include "engine/stamping/compose.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "options/previewmaker.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "tests/windowkit.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
const QRgb kImageColor = qRgb(20, 40, 200);
const QRgb kMarkColor = qRgb(250, 10, 10);
const QSize kMarkSize(40, 30);

// The watermark: a red block with a white hole, which the default transparent colour leaves out.
QImage MarkImage() {
    QImage mark = SolidImage(kMarkSize.width(), kMarkSize.height(), kMarkColor);
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 30; ++x)
            mark.setPixel(x, y, qRgb(255, 255, 255));
    return mark;
}

// Colours alike but for smooth scaling and JPEG's rounding.
bool Near(QRgb a, QRgb b) {
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) <= 12;
}

// What a preview must show: the image with the watermark's non-white pixels at `at`.
QImage Stamped(QImage image, QPoint at) {
    const QImage mark = MarkImage();
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x)
            if (image.rect().contains(at + QPoint(x, y)) && mark.pixel(x, y) != qRgb(255, 255, 255))
                image.setPixel(at + QPoint(x, y), mark.pixel(x, y));
    return image;
}
} // namespace

class TestPreview : public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void previewWindowDesign();
    void previewFitsImageAndKeepsCorner();
    void previewLargerThanTheScreen_data();
    void previewLargerThanTheScreen();
    void noPlacementLeavesWatermarkAtOrigin();
    void sameImageAfterClose_data();
    void sameImageAfterClose();
    void invalidWatermarkPathChangesNothing();
    void nothingSelectedPreviewsTheFirstEntry();
    void failedPreviewNamesTheFileAndOpensNoWindow_data();
    void failedPreviewNamesTheFileAndOpensNoWindow();
    void runUpdatesOpenPreview();

    void theWindowAnswersWhileThePictureDecodes();
    void aLaterPreviewSupersedesOne();
    void closingDuringAPreviewDropsIt();

private:
    QString makeImage(const QString& name, QSize size);
    // Clicks Preview and waits until the preview is shown or its failure reported; false when
    // that takes too long.
    bool clickPreview();
    Form2* previewOf(const QString& image, int placement);
    // A JPEG too large for the test screen, made once: its preview is decoded reduced.
    QString photo();

    QTemporaryDir temp_;
    QString watermark_;
};

void TestPreview::initTestCase() {
    QVERIFY(temp_.isValid());
    for (const char* folder : {"config", "home/Desktop", "program", "images", "out"})
        QVERIFY(QDir(temp_.path()).mkpath(QLatin1String(folder)));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp_.filePath(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(temp_.filePath(QStringLiteral("home"))));
    SetProgramFolderForTesting(temp_.filePath(QStringLiteral("program")));
    watermark_ = temp_.filePath(QStringLiteral("images/mark.png"));
    WriteImage(MarkImage(), watermark_, "png");
}

void TestPreview::init() {
    QFile::remove(temp_.filePath(QStringLiteral("config/Varnholt.conf")));
}

void TestPreview::cleanup() {
    stop();
}

QString TestPreview::makeImage(const QString& name, QSize size) {
    const QString path = temp_.filePath(QStringLiteral("images/") + name);
    WriteImage(SolidImage(size.width(), size.height(), kImageColor), path, "png");
    return path;
}

bool TestPreview::clickPreview() {
    PreviewMaker* maker = form_->previewMaker();
    QSignalSpy done(maker, &PreviewMaker::finished);
    form_->PushButton5_Click();
    return !maker->isWorking() || done.wait(20000);
}

Form2* TestPreview::previewOf(const QString& image, int placement) {
    form_->ListView1->clearEntries();
    form_->ListView1->append(image);
    form_->ListView1->select(1);
    form_->options->Text1->setText(watermark_);
    form_->options->Combo1->setCurrentIndex(placement);
    return clickPreview() ? form_->existingForm2() : nullptr;
}

QString TestPreview::photo() {
    const QString path = temp_.filePath(QStringLiteral("images/photo.jpg"));
    if (QFile::exists(path))
        return path;
    // Progressive, with noise over its left half: libjpeg must read every coefficient of it,
    // which takes long enough to tell a click that waits for it from one that does not.
    QImage picture = SolidImage(4000, 3000, kImageColor);
    QRandomGenerator noise(7);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width() / 2; ++x)
            line[x] = noise.generate() | 0xFF000000u;
    }
    QImageWriter writer(path, "jpeg");
    writer.setProgressiveScanWrite(true);
    if (!writer.write(picture))
        return {};
    return path;
}

void TestPreview::previewWindowDesign() {
    Form2* preview = start().existingForm2();
    QVERIFY(preview && !preview->isVisible());
    QCOMPARE(preview->windowTitle(), QStringLiteral("Preview"));
    QCOMPARE(preview->size(), QSize(227, 181));
    QCOMPARE(preview->minimumSize(), preview->maximumSize());
    const Qt::WindowFlags flags = preview->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint) &&
            flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(preview->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(preview->palette().color(preview->backgroundRole()), FaceColor());
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 119, 104));
    QCOMPARE(preview->pPreview()->palette().color(QPalette::Window), QColor(Qt::white));

    // Moves over the picture reach the window: the arrow, unless the window shows the busy mark.
    auto moveOverPicture = [&] {
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(preview->pPreview(), &move);
    };
    preview->setCursor(Qt::CrossCursor);
    moveOverPicture();
    QCOMPARE(preview->cursor().shape(), Qt::ArrowCursor);
    preview->setCursor(Qt::WaitCursor);
    moveOverPicture();
    QCOMPARE(preview->cursor().shape(), Qt::WaitCursor);
}

void TestPreview::previewFitsImageAndKeepsCorner() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 4);
    QVERIFY(preview && preview->isVisible());
    QVERIFY(!preview->isModal() && !preview->parentWidget());
    // The inside of the window is the image alone; the window system's frame lies outside it.
    QCOMPARE(preview->size(), QSize(400, 300));
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 400, 300));
    QCOMPARE(preview->surface().image(),
             Stamped(SolidImage(400, 300, kImageColor), QPoint(180, 135)));
    // First shown after its creation: centred on the screen.
    const QPoint offCentre = preview->geometry().center() -
                             QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 2, qPrintable(QString::number(offCentre.x())));
    QCOMPARE(prompter_->shown.size(), 0);

    // The user moves the window; a smaller image shrinks it around the same top-left corner.
    preview->move(30, 40);
    QCOMPARE(previewOf(makeImage(QStringLiteral("small.png"), QSize(200, 100)), 0), preview);
    QCOMPARE(preview->size(), QSize(200, 100));
    QCOMPARE(preview->pos(), QPoint(30, 40));
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(200, 100, kImageColor), QPoint(1, 1)));

    // Moved partly off the screen, a larger image brings the whole window back onto it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    preview->move(screen.bottomRight() - QPoint(250, 150));
    previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 4);
    QCOMPARE(preview->size(), QSize(400, 300));
    QVERIFY(screen.contains(preview->frameGeometry()));
    QCOMPARE(preview->frameGeometry().bottomRight(), screen.bottomRight());
}

void TestPreview::previewLargerThanTheScreen_data() {
    QTest::addColumn<QSize>("image");
    QTest::newRow("wide") << QSize(3000, 1000);
    QTest::newRow("tall") << QSize(900, 2400);
    QTest::newRow("both") << QSize(4004, 3026);
}

void TestPreview::previewLargerThanTheScreen() {
    QFETCH(QSize, image);
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("huge.png"), image), 8);
    const QRect screen = preview->screen()->availableGeometry();
    QVERIFY(screen.contains(preview->frameGeometry()));
    // As large as the screen allows, in the image's own proportions.
    const QSize shown = preview->size();
    const QSize frame = preview->frameGeometry().size() - shown;
    QVERIFY(shown.width() == screen.width() - frame.width() ||
            shown.height() == screen.height() - frame.height());
    QVERIFY(qAbs(shown.width() * image.height() - shown.height() * image.width()) <=
            std::max(image.width(), image.height()));
    QCOMPARE(preview->pPreview()->geometry(), QRect(QPoint(0, 0), shown));
    // The picture was decoded reduced, by the most that leaves it at least as large as shown.
    const int reduction = ReductionFor(image, preview->pictureRoom());
    QVERIFY(reduction > 1);
    const QSize decoded = preview->surface().size();
    QCOMPARE(decoded, QSize((image.width() + reduction - 1) / reduction,
                            (image.height() + reduction - 1) / reduction));
    QVERIFY(decoded.width() >= shown.width() && decoded.height() >= shown.height());

    // The watermark in the bottom-right corner is on the screen, smoothly scaled: its red border
    // along the picture's edge (10 pixels wide, which its hole does not reach) and the image
    // around it keep their colours.
    const QImage picture = preview->pPreview()->grab().toImage();
    QCOMPARE(picture.size(), shown);
    auto shownAt = [&](QPoint p) {
        return picture.pixel(p.x() * shown.width() / image.width(),
                             p.y() * shown.height() / image.height());
    };
    const QPoint mark(image.width() - kMarkSize.width(), image.height() - kMarkSize.height());
    QVERIFY(Near(shownAt(mark + QPoint(35, 15)), kMarkColor));
    QVERIFY(Near(shownAt(mark - QPoint(20, 20)), kImageColor));
}

void TestPreview::noPlacementLeavesWatermarkAtOrigin() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), -1);
    QCOMPARE(form_->options->readOptions().Placement, -1);
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(400, 300, kImageColor), QPoint(0, 0)));
}

void TestPreview::sameImageAfterClose_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<QPoint>("at");
    const int xs[] = {1, 180, 360}, ys[] = {1, 135, 270};
    for (int i = 0; i < 9; ++i)
        QTest::addRow("%d", i) << i << QPoint(xs[i % 3], ys[i / 3]);
}

void TestPreview::sameImageAfterClose() {
    QFETCH(int, placement);
    QFETCH(QPoint, at);
    start();
    const QString image = makeImage(QStringLiteral("big.png"), QSize(400, 300));
    const QImage expected = Stamped(SolidImage(400, 300, kImageColor), at);
    QCOMPARE(previewOf(image, placement)->surface().image(), expected);
    form_->existingForm2()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!form_->existingForm2());
    Form2* again = previewOf(image, placement);
    QVERIFY(again && again->isVisible());
    QCOMPARE(again->size(), QSize(400, 300));
    QCOMPARE(again->surface().image(), expected);
    QCOMPARE(prompter_->shown.size(), 0);
}

void TestPreview::invalidWatermarkPathChangesNothing() {
    start();
    const QString image = makeImage(QStringLiteral("big.png"), QSize(400, 300));
    Form2* preview = form_->existingForm2();
    const QStringList invalid = {temp_.filePath(QStringLiteral("images/none.png")), QString(),
                                 temp_.filePath(QStringLiteral("images"))};
    for (const QString& path : invalid) {
        form_->options->Text1->setText(path);
        form_->PushButton5_Click();
        QCOMPARE(form_->existingForm2(), preview);
        QVERIFY(!preview->isVisible());
        QCOMPARE(preview->size(), QSize(227, 181));
    }
    QCOMPARE(prompter_->messages(), QStringList(3, kInvalidWatermarkPathMessage));
    for (const ScriptedPrompter::Shown& shown : std::as_const(prompter_->shown)) {
        QCOMPARE(shown.title, ShortTitle());
        QCOMPARE(shown.icon, Prompter::Icon::None);
    }

    // An open preview keeps its picture and size.
    previewOf(image, 4);
    const QImage before = preview->surface().image();
    form_->ListView1->append(makeImage(QStringLiteral("small.png"), QSize(200, 100)));
    form_->ListView1->select(2);
    form_->options->Text1->setText(invalid.first());
    form_->PushButton5_Click();
    QCOMPARE(preview->surface().image(), before);
    QCOMPARE(preview->size(), QSize(400, 300));
}

void TestPreview::nothingSelectedPreviewsTheFirstEntry() {
    start();
    form_->options->Text1->setText(watermark_);
    form_->PushButton5_Click();
    QCOMPARE(prompter_->messages(), QStringList{kSelectPictureMessage});
    QVERIFY(!form_->existingForm2()->isVisible());

    form_->ListView1->append(makeImage(QStringLiteral("first.png"), QSize(200, 150)));
    form_->ListView1->append(makeImage(QStringLiteral("second.png"), QSize(300, 200)));
    form_->options->Combo1->setCurrentIndex(0);
    QCOMPARE(form_->ListView1->selectedPosition(), 0);
    QVERIFY(clickPreview());
    QCOMPARE(prompter_->shown.size(), 1);
    Form2* preview = form_->existingForm2();
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(200, 150, kImageColor), {1, 1}));
}

void TestPreview::failedPreviewNamesTheFileAndOpensNoWindow_data() {
    QTest::addColumn<bool>("badWatermark");
    QTest::newRow("vanished picture") << false;
    QTest::newRow("damaged watermark") << true;
}

void TestPreview::failedPreviewNamesTheFileAndOpensNoWindow() {
    QFETCH(bool, badWatermark);
    start();
    const QString damaged = temp_.filePath(QStringLiteral("images/<b>BIG<i>x.png"));
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    const QString picture = temp_.filePath(QStringLiteral("images/gone.png"));
    form_->ListView1->append(badWatermark ? makeImage(QStringLiteral("kept.png"), {50, 40})
                                          : picture);
    form_->options->Text1->setText(badWatermark ? damaged : watermark_);
    QVERIFY(clickPreview());
    QCOMPARE(prompter_->count(QStringLiteral("message")), 1);
    QCOMPARE(prompter_->shown.first().title, kErrorReportTitle);
    QVERIFY2(prompter_->shown.first().text.contains(badWatermark ? damaged : picture),
             qPrintable(prompter_->shown.first().text));
    QVERIFY(!form_->existingForm2()->isVisible());
}

void TestPreview::runUpdatesOpenPreview() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 0);
    form_->ListView1->append(makeImage(QStringLiteral("last.png"), QSize(160, 120)));
    form_->options->Text2->setText(temp_.filePath(QStringLiteral("out")) + kSeparator);
    form_->options->Combo1->setCurrentIndex(8);
    form_->PushButton2_Click();
    QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});
    QCOMPARE(form_->existingForm2(), preview);
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->size(), QSize(160, 120));
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 160, 120));
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(160, 120, kImageColor), {120, 90}));
}

void TestPreview::theWindowAnswersWhileThePictureDecodes() {
    start();
    const QString image = photo();
    QVERIFY(!image.isEmpty());
    form_->ListView1->append(image);
    form_->options->Text1->setText(watermark_);
    form_->options->Combo1->setCurrentIndex(8);
    PreviewMaker* maker = form_->previewMaker();
    QSignalSpy done(maker, &PreviewMaker::finished);
    QElapsedTimer clock;
    clock.start();
    form_->PushButton5_Click();
    const qint64 click = clock.elapsed();
    // The click returns at once: the picture decodes on a worker, and the window's loop, which
    // alone can show it, has not run yet.
    Form2* preview = form_->existingForm2();
    QVERIFY(maker->isWorking());
    QVERIFY(!preview->isVisible());
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    int answered = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] { ++answered; });
    tick.start(0);
    QVERIFY(done.wait(20000));
    const qint64 decode = clock.elapsed();
    qDebug("click %lld ms, preview shown after %lld ms", click, decode);
    QVERIFY(click * 4 < decode);
    QVERIFY(answered > 0);
    QVERIFY(!maker->isWorking());
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(preview->isVisible());
    QCOMPARE(prompter_->shown.size(), 0);

    // Decoded at a fraction of its size, with the mark in the bottom-right corner, reduced alike.
    const int reduction = ReductionFor(QSize(4000, 3000), preview->pictureRoom());
    QVERIFY(reduction > 1);
    const QImage shown = preview->surface().image();
    QCOMPARE(shown.size(), QSize(4000 / reduction, 3000 / reduction));
    const QRect mark =
        ReducedRect(QRect(QPoint(3960, 2970), kMarkSize), QSize(4000, 3000), shown.size());
    QCOMPARE(mark.bottomRight(), QPoint(shown.width() - 1, shown.height() - 1));
    QVERIFY(Near(shown.pixel(mark.topLeft()), kMarkColor));
    QVERIFY(Near(shown.pixel(mark.bottomRight()), kMarkColor));
    // The white hole in the middle of the mark is left out, and the picture shows around it.
    QVERIFY(Near(shown.pixel(mark.center()), kImageColor));
    QVERIFY(Near(shown.pixel(mark.topLeft() - QPoint(2, 2)), kImageColor));
}

void TestPreview::aLaterPreviewSupersedesOne() {
    start();
    QVERIFY(!photo().isEmpty());
    form_->ListView1->append(photo());
    const QString small = makeImage(QStringLiteral("small.png"), QSize(200, 100));
    form_->ListView1->append(small);
    form_->options->Text1->setText(watermark_);
    form_->options->Combo1->setCurrentIndex(0);
    const QImage expected = Stamped(SolidImage(200, 100, kImageColor), QPoint(1, 1));
    PreviewMaker* maker = form_->previewMaker();
    QSignalSpy done(maker, &PreviewMaker::finished);

    // Another entry selected while the photograph decodes: the preview follows the selection.
    form_->ListView1->select(1);
    form_->PushButton5_Click();
    QVERIFY(maker->isWorking());
    form_->ListView1->select(2);
    QVERIFY(done.wait(20000));
    QCOMPARE(form_->existingForm2()->surface().image(), expected);

    // A second click while the first decodes: only the second is shown.
    form_->ListView1->select(1);
    form_->PushButton5_Click();
    form_->PushButton5_Click();
    QVERIFY(done.wait(20000));
    QTest::qWait(300);
    QCOMPARE(done.count(), 2);
    QCOMPARE(form_->existingForm2()->surface().size(),
             QSize(4000, 3000) /
                 ReductionFor(QSize(4000, 3000), form_->existingForm2()->pictureRoom()));
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(prompter_->shown.size(), 0);
}

void TestPreview::closingDuringAPreviewDropsIt() {
    start();
    QVERIFY(!photo().isEmpty());
    form_->ListView1->append(photo());
    form_->options->Text1->setText(watermark_);
    QSignalSpy done(form_->previewMaker(), &PreviewMaker::finished);
    form_->PushButton5_Click();
    QVERIFY(form_->previewMaker()->isWorking());
    form_->close();
    // The window and its preview go at once; the picture that was decoding never shows.
    QVERIFY(!form_->isVisible());
    QVERIFY(!form_->existingForm2());
    QVERIFY(!form_->previewMaker()->isWorking());
    QVERIFY(!QGuiApplication::overrideCursor());
    QTest::qWait(500);
    QCOMPARE(done.count(), 0);
    QCOMPARE(prompter_->shown.size(), 0);
}

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
