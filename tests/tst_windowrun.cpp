// The run as the main window drives it: the workers stamp while the window answers, the controls
// stay as they were at Start, and Stop, Escape and closing the window end the run after the
// images in hand, never leaving a partial file. A close ends the program whatever the run is doing:
// while its box shows, and with a click still waiting. Failures are told in one box at the end,
// which counts what was written, failed and skipped and never says "Done." for less.
#include "app/form1.h"
#include "app/qtprompter.h"
#include "app/runtally.h"
#include "app/windowbatch.h"
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "tests/windowkit.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QImageReader>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <functional>

#include <unistd.h>

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
    void failuresAreToldInOneBoxAtTheEnd();
    void escapeStopsARunAmongFailures();
    void aFolderThatTakesNoFileStopsTheRunAtOnce();
    void aWatermarkThatIsNoPictureIsNotDone();
    void everyListedPictureIsAccountedFor();
    void aFileOfOthersIsReplacedOnlyWhenTheUserSays_data();
    void aFileOfOthersIsReplacedOnlyWhenTheUserSays();
    void aClickWaitingAtTheCloseStartsNoRun();
    void closingDismissesAnOpenBox();

private:
    // Runs the window's batch and, once the run is waiting for its workers, calls during().
    void runWith(const std::function<void()>& during);
    // Every output is a complete picture and nothing else (no temporary file) is there.
    void checkOutputsComplete(int& count);
    // Lists `count` pictures that cannot be read, named bad0.png on; slow says they take a
    // while to fail (most of a large picture is decoded first).
    QStringList addUnreadable(int count, bool slow);
    // The one box of the run, with its counts and details.
    ScriptedPrompter::Shown onlyBox();

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
    bool answered = false;
    runWith([&] {
        if (byEscape)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : form_.get(),
                            Qt::Key_Escape);
        else
            form_->PushButton2->click();
        // The stop is seen at once, before the images in hand are finished.
        QCOMPARE(form_->PushButton2->text(), QStringLiteral("Stopping..."));
        QVERIFY(!form_->PushButton2->isEnabled());
        // A second Escape or click while stopping changes nothing.
        QTest::keyClick(form_.get(), Qt::Key_Escape);
        QCOMPARE(form_->PushButton2->text(), QStringLiteral("Stopping..."));
        answered = true;
    });
    QVERIFY(answered);
    QCOMPARE(prompter_->messages(), QStringList{kStoppedMessage});
    int count = 0;
    checkOutputsComplete(count);
    QVERIFY2(count < inputs_, qPrintable(QString::number(count)));
    QCOMPARE(form_->PushButton2->text().remove('&'), QStringLiteral("Start Applying Watermark"));
    QCOMPARE(form_->ProgressBar1->text(), kIdleProgressText);
    QVERIFY(form_->ListView1->isEnabled());
}

void TestWindowRun::closingDuringARunEndsTheProgramAfterIt() {
    form_->form2()->showPreview();
    bool hidden = false;
    runWith([&] {
        form_->close();
        // The window and its preview go at once; the program waits for the images in hand
        // behind them.
        hidden = !form_->isVisible() && !form_->existingForm2()->isVisible();
    });
    QVERIFY(hidden);
    // No closing box: the program ends once the images in hand are written.
    QVERIFY(prompter_->messages().isEmpty());
    QVERIFY(!form_->isVisible());
    QVERIFY(!ImagingRuntime::IsStarted());
    int count = 0;
    checkOutputsComplete(count);
    QVERIFY(count < inputs_);
}

void TestWindowRun::closingWhileTheRunShowsABoxEndsIt() {
    // The third picture is damaged: the box at the end tells it, and the window is closed
    // meanwhile.
    addUnreadable(1, false);
    prompter_->whileNextBoxShows = [this] {
        form_->close();
    };
    form_->PushButton2_Click();
    QCOMPARE(prompter_->count("message"), 1);
    QVERIFY(!form_->isVisible());
    QVERIFY(!ImagingRuntime::IsStarted());
}

QStringList TestWindowRun::addUnreadable(int count, bool slow) {
    QByteArray bytes("\x89PNG not a picture");
    if (slow) {
        QImage big(1600, 1600, QImage::Format_RGB32);
        for (int y = 0; y < big.height(); ++y)
            for (int x = 0; x < big.width(); ++x)
                big.setPixel(x, y, qRgb(x * 7 % 256, y * 3 % 256, (x ^ y) % 256));
        WriteImage(big, home_->path() + "/big.png", "png");
        bytes = Contents(home_->path() + "/big.png");
        bytes.truncate(bytes.size() * 3 / 4);
    }
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = home_->path() + QStringLiteral("/in/bad%1.png").arg(i);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        form_->ListView1->append(path);
        paths << path;
    }
    return paths;
}

ScriptedPrompter::Shown TestWindowRun::onlyBox() {
    if (prompter_->shown.size() != 1)
        qWarning() << prompter_->messages();
    return prompter_->shown.size() == 1 ? prompter_->shown.first() : ScriptedPrompter::Shown{};
}

void TestWindowRun::failuresAreToldInOneBoxAtTheEnd() {
    const QStringList bad = addUnreadable(40, false);
    form_->PushButton2_Click();
    const ScriptedPrompter::Shown box = onlyBox();
    QCOMPARE(box.text, kDoneCountsMessage.arg(inputs_).arg(40).arg(0));
    QCOMPARE(box.icon, Prompter::Icon::Warning);
    // Each failure as the error report words it, the step and the file at fault.
    QCOMPARE(box.details.count(ErrorLocation::StartRun + "at line "), 40);
    for (const QString& path : bad)
        QVERIFY2(box.details.contains(path), qPrintable(path));
    int count = 0;
    checkOutputsComplete(count);
    QCOMPARE(count, inputs_);
}

void TestWindowRun::escapeStopsARunAmongFailures() {
    form_->ListView1->clearEntries();
    addUnreadable(40, true);
    // Escape as soon as the run is among its failures: no box stands in the way.
    QTimer watch;
    watch.callOnTimeout([&] {
        const QString shown = form_->ProgressBar1->text();
        if (shown.startsWith(QStringLiteral("Processing: bad")) &&
            shown != QStringLiteral("Processing: bad0.png")) {
            watch.stop();
            QTest::keyClick(form_.get(), Qt::Key_Escape);
        }
    });
    watch.start(0);
    form_->PushButton2_Click();
    const ScriptedPrompter::Shown box = onlyBox();
    QVERIFY2(box.text.startsWith(QStringLiteral("Stopped: 0 written, ")), qPrintable(box.text));
    const int failed = int(box.details.count(QStringLiteral("at line ")));
    QVERIFY2(failed >= 1 && failed < 40, qPrintable(box.text));
    QCOMPARE(box.text, kStoppedCountsMessage.arg(0).arg(failed).arg(0));
    QVERIFY(form_->ListView1->isEnabled());
}

void TestWindowRun::aFolderThatTakesNoFileStopsTheRunAtOnce() {
    // The superuser writes into any folder of an ordinary disk; the kernel's own folders refuse
    // even that.
    const QString folder = ::geteuid() == 0 ? QStringLiteral("/sys/kernel") : out_;
    if (::geteuid() != 0)
        QVERIFY(QFile::setPermissions(out_, QFile::ReadOwner | QFile::ExeOwner));
    form_->options->Text2->setText(folder);
    addUnreadable(40, false);
    form_->PushButton2_Click();
    QFile::setPermissions(out_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const ScriptedPrompter::Shown box = onlyBox();
    QCOMPARE(box.text, kFolderUnwritableMessage.arg(folder));
    // No picture was tried: the folder's refusal is the one failure.
    QCOMPARE(box.details, folder + ": " + QString::fromLocal8Bit(std::strerror(EACCES)));
    QCOMPARE(box.icon, Prompter::Icon::Warning);
}

void TestWindowRun::aWatermarkThatIsNoPictureIsNotDone() {
    QFile mark(home_->path() + "/mark.png");
    QVERIFY(mark.open(QIODevice::WriteOnly | QIODevice::Truncate));
    mark.write("these are notes, not a picture");
    mark.close();
    form_->PushButton2_Click();
    const ScriptedPrompter::Shown box = onlyBox();
    QCOMPARE(box.text, kDoneCountsMessage.arg(0).arg(inputs_).arg(0));
    QVERIFY(box.details.contains(home_->path() + "/mark.png"));
    QVERIFY(QDir(out_).isEmpty());
}

void TestWindowRun::everyListedPictureIsAccountedFor() {
    // Automatic writes no PCX, and a note is no picture at all: both are skipped, with why.
    for (const QString name : {"photo.pcx", "notes.txt"}) {
        QFile file(home_->path() + "/in/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        form_->ListView1->append(file.fileName());
    }
    form_->options->Option1[0]->click();
    form_->PushButton2_Click();
    const ScriptedPrompter::Shown box = onlyBox();
    QCOMPARE(box.text, kDoneCountsMessage.arg(inputs_).arg(0).arg(2));
    QVERIFY(box.details.contains(home_->path() + "/in/notes.txt: " + kNoAutomaticFormatReason));
    QVERIFY(box.details.contains(home_->path() + "/in/photo.pcx: " + kNoAutomaticFormatReason));
}

void TestWindowRun::aFileOfOthersIsReplacedOnlyWhenTheUserSays_data() {
    QTest::addColumn<Prompter::ExistingAnswer>("answer");
    QTest::newRow("keep both") << Prompter::ExistingAnswer::KeepBoth;
    QTest::newRow("skip") << Prompter::ExistingAnswer::Skip;
    QTest::newRow("replace") << Prompter::ExistingAnswer::Replace;
}

void TestWindowRun::aFileOfOthersIsReplacedOnlyWhenTheUserSays() {
    QFETCH(Prompter::ExistingAnswer, answer);
    const QByteArray theirs("the shop's own price list");
    QFile foreign(out_ + "/p1.png");
    QVERIFY(foreign.open(QIODevice::WriteOnly));
    foreign.write(theirs);
    foreign.close();
    // The first run leaves its own copies; the second asks about the other file alone, since
    // copies this program wrote are refreshed without asking.
    form_->PushButton2_Click();
    prompter_->clear();
    prompter_->existingAnswers << answer;
    form_->PushButton2_Click();
    QCOMPARE(prompter_->count("existing"), 1);
    QCOMPARE(prompter_->shown.first().text, kForeignFilesQuestion.arg(1));
    const int files = int(QDir(out_).entryList(QDir::Files).size());
    switch (answer) {
    case Prompter::ExistingAnswer::KeepBoth:
        QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});
        QCOMPARE(Contents(out_ + "/p1.png"), theirs);
        QCOMPARE(files, inputs_ + 1);
        break;
    case Prompter::ExistingAnswer::Skip:
        QCOMPARE(prompter_->messages(),
                 QStringList{kDoneCountsMessage.arg(inputs_ - 1).arg(0).arg(1)});
        QCOMPARE(Contents(out_ + "/p1.png"), theirs);
        QCOMPARE(files, inputs_ + 1); // the numbered copy of the first run stays
        break;
    case Prompter::ExistingAnswer::Replace:
        QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});
        QCOMPARE(QImageReader(out_ + "/p1.png").read().size(), QSize(500, 400));
        break;
    }
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
