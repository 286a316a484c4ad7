// The preview window: its design, its size on and beyond the screen, its picture and position,
// and its life beside the batch run.
#include "app/appearance.h"
#include "app/form1.h"
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "tests/windowkit.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

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

private:
    QString makeImage(const QString& name, QSize size);
    Form2* previewOf(const QString& image, int placement);

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

Form2* TestPreview::previewOf(const QString& image, int placement) {
    form_->ListView1->clearEntries();
    form_->ListView1->append(image);
    form_->ListView1->select(1);
    form_->options->Text1->setText(watermark_);
    form_->options->Combo1->setCurrentIndex(placement);
    form_->PushButton5_Click();
    return form_->existingForm2();
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
    // The run writes the composed image at its full size; only the window shows it smaller.
    QCOMPARE(preview->surface().size(), image);

    // The watermark in the bottom-right corner is on the screen, smoothly scaled: its red border
    // (10 pixels wide) and the image around it keep their colours.
    const QImage picture = preview->pPreview()->grab().toImage();
    QCOMPARE(picture.size(), shown);
    auto shownAt = [&](QPoint p) {
        return picture.pixel(p.x() * shown.width() / image.width(),
                             p.y() * shown.height() / image.height());
    };
    auto near = [](QRgb a, QRgb b) {
        return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) <=
               12;
    };
    const QPoint mark(image.width() - kMarkSize.width(), image.height() - kMarkSize.height());
    QVERIFY(near(shownAt(mark + QPoint(5, 5)), kMarkColor));
    QVERIFY(near(shownAt(mark - QPoint(20, 20)), kImageColor));
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
    form_->PushButton5_Click();
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
    form_->PushButton5_Click();
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

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
