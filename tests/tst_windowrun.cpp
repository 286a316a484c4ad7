// The run as the main window drives it: the workers stamp while the window answers, the controls
// stay as they were at Start, and Stop, Escape and closing the window end the run after the
// images in hand, never leaving a partial file. A close ends the program whatever the run is doing:
// while one of its boxes shows, and with a click still waiting.
#include "app/form1.h"
#include "app/qtprompter.h"
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "tests/windowkit.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QGroupBox>
#include <QImageReader>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

class TestWindowRun : public WindowTest {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void theWindowShowsTheRunAndTakesNoChanges();
    void stoppingEndsAfterTheImagesInHand_data();
    void stoppingEndsAfterTheImagesInHand();
    void closingDuringARunEndsTheProgramAfterIt();
    void closingWhileTheRunShowsABoxEndsIt();
    void aClickWaitingAtTheCloseStartsNoRun();
    void closingDismissesAnOpenBox();

private:
    // Runs the window's batch and, once the run is waiting for its workers, calls during().
    void runWith(const std::function<void()>& during);
    // Every output is a complete picture and nothing else (no temporary file) is there.
    void checkOutputsComplete(int& count);

    std::unique_ptr<QTemporaryDir> home_;
    QString out_;
    int inputs_ = 0;
};

void TestWindowRun::init() {
    home_ = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", (home_->path() + "/config").toLocal8Bit());
    SetProgramFolderForTesting(home_->path() + "/program");
    ImagingRuntime::SetProbeForTesting(nullptr);
    start();
    QDir(home_->path()).mkpath("in");
    QDir(home_->path()).mkpath("out");
    out_ = home_->path() + "/out";
    QImage photo(500, 400, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));
    inputs_ = 16;
    for (int i = 0; i < inputs_; ++i) {
        const QString name =
            i == 0 ? QStringLiteral("sale 50%p.png") : QStringLiteral("p%1.png").arg(i);
        WriteImage(photo, home_->path() + "/in/" + name, "png");
        form_->ListView1->append(home_->path() + "/in/" + name);
    }
    WriteImage(SolidImage(30, 20, qRgb(10, 20, 200)), home_->path() + "/mark.png", "png");
    form_->options->Text1->setText(home_->path() + "/mark.png");
    form_->options->Text2->setText(out_);
    form_->show();
    QApplication::setActiveWindow(form_.get());
}

void TestWindowRun::cleanup() {
    stop();
    SetProgramFolderForTesting(QString());
}

void TestWindowRun::runWith(const std::function<void()>& during) {
    QTimer::singleShot(0, form_.get(), during);
    form_->PushButton2_Click();
}

void TestWindowRun::checkOutputsComplete(int& count) {
    const QStringList files =
        QDir(out_).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : files) {
        QVERIFY2(!name.startsWith('.'), qPrintable(name));
        QCOMPARE(QImageReader(out_ + "/" + name).read().size(), QSize(500, 400));
    }
    count = int(files.size());
}

void TestWindowRun::theWindowShowsTheRunAndTakesNoChanges() {
    bool checked = false;
    runWith([&] {
        QCOMPARE(form_->PushButton2->text().remove('&'), QStringLiteral("Stop"));
        QVERIFY(form_->PushButton2->isEnabled());
        QVERIFY(!form_->ListView1->isEnabled());
        QVERIFY(!form_->PushButton1->isEnabled() && !form_->PushButton3->isEnabled());
        QVERIFY(!form_->PushButton7->isEnabled() && !form_->PushButton8->isEnabled());
        QVERIFY(!form_->options->Frame2->isEnabled() && !form_->options->Frame5->isEnabled());
        // The progress text shows the file name as it is, "%p" and all.
        QCOMPARE(form_->ProgressBar1->text(), QStringLiteral("Processing: sale 50%p.png"));
        // Whatever could still reach the options does not reach the run.
        form_->options->Combo1->setCurrentIndex(8);
        form_->options->Text2->setText(home_->path() + "/in");
        checked = true;
    });
    QVERIFY(checked);
    QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});
    int count = 0;
    checkOutputsComplete(count);
    QCOMPARE(count, inputs_);
    QCOMPARE(QImage(out_ + "/p1.png").pixel(1, 1), qRgb(10, 20, 200));
    QCOMPARE(form_->PushButton2->text().remove('&'), QStringLiteral("Start Applying Watermark"));
    QVERIFY(form_->ListView1->isEnabled() && form_->options->Frame2->isEnabled());
    QVERIFY(!form_->isBusy());
}

void TestWindowRun::stoppingEndsAfterTheImagesInHand_data() {
    QTest::addColumn<bool>("byEscape");
    QTest::newRow("Stop button") << false;
    QTest::newRow("Escape") << true;
}

void TestWindowRun::stoppingEndsAfterTheImagesInHand() {
    QFETCH(bool, byEscape);
    runWith([&] {
        if (byEscape)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : form_.get(),
                            Qt::Key_Escape);
        else
            form_->PushButton2->click();
    });
    QCOMPARE(prompter_->messages(), QStringList{kStoppedMessage});
    int count = 0;
    checkOutputsComplete(count);
    QVERIFY2(count < inputs_, qPrintable(QString::number(count)));
    QCOMPARE(form_->PushButton2->text().remove('&'), QStringLiteral("Start Applying Watermark"));
    QCOMPARE(form_->ProgressBar1->text(), kIdleProgressText);
    QVERIFY(form_->ListView1->isEnabled());
}

void TestWindowRun::closingDuringARunEndsTheProgramAfterIt() {
    runWith([&] { form_->close(); });
    // No closing box: the program ends once the images in hand are written.
    QVERIFY(prompter_->messages().isEmpty());
    QVERIFY(!form_->isVisible());
    QVERIFY(!ImagingRuntime::IsStarted());
    int count = 0;
    checkOutputsComplete(count);
    QVERIFY(count < inputs_);
}

void TestWindowRun::closingWhileTheRunShowsABoxEndsIt() {
    // The third picture is damaged: its error report shows, and the window is closed meanwhile.
    QFile damaged(home_->path() + "/in/p2.png");
    QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write("\x89PNG not a picture");
    damaged.close();
    prompter_->whileNextBoxShows = [this] {
        form_->close();
    };
    form_->PushButton2_Click();
    QCOMPARE(prompter_->count("message"), 1);
    QCOMPARE(prompter_->shown.first().title, QStringLiteral("Application Error"));
    QVERIFY(!form_->isVisible());
    QVERIFY(!ImagingRuntime::IsStarted());
    int count = 0;
    checkOutputsComplete(count);
    QVERIFY2(count < inputs_ - 1, qPrintable(QString::number(count)));
}

void TestWindowRun::aClickWaitingAtTheCloseStartsNoRun() {
    // The close is handled first; the click on Start behind it must not run the batch inside the
    // close, nor after it.
    const QPoint middle = form_->PushButton2->rect().center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(
            form_->PushButton2,
            new QMouseEvent(type, middle, form_->PushButton2->mapToGlobal(middle), Qt::LeftButton,
                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier));
    QVERIFY(form_->close());
    QCoreApplication::processEvents();
    QVERIFY(prompter_->shown.isEmpty());
    QVERIFY(QDir(out_).isEmpty());
}

void TestWindowRun::closingDismissesAnOpenBox() {
    // A real box, as the desktop shows it: the close answers it and the window goes.
    QtPrompter real;
    Form1 form(real);
    real.setParent(&form);
    form.Form_Load();
    form.show();
    bool boxShown = false;
    QTimer::singleShot(50, &form, [&] {
        boxShown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        form.close();
    });
    // Should the close leave the box open, the test still ends.
    QTimer safety;
    safety.callOnTimeout([] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->hide();
    });
    safety.start(3000);
    QElapsedTimer took;
    took.start();
    form.options->PushButton6_Click();
    QVERIFY(took.elapsed() < 2500);
    QVERIFY(boxShown);
    QVERIFY(!form.isVisible());
}

QTEST_MAIN(TestWindowRun)
#include "tst_windowrun.moc"
