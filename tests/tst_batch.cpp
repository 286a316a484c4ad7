// The batch run through a scripted window: its checks, output names and formats, progress,
// failures that must not stop the run, and the protections of the user's files.
#include "engine/run/batch.h"
#include "engine/run/planner.h"
#include "engine/stamping/surface.h"
#include "support/failure.h"
#include "tests/testkit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <thread>

namespace {
// Stands in for the main window: holds the list and the options, and records what the run shows.
class ScriptedWindow : public RunHost {
public:
    QStringList entries;
    WatermarkJob options;
    bool startFailed = false;
    RunSettings settings;
    std::function<void(int yieldNumber)> onYield;
    std::function<void(const ImageReport&)> onFinished;

    QList<double> progressValues;
    QStringList progressTexts;
    QStringList messages;
    QList<QPair<int, QString>> reports;
    QList<ImageOutcome> outcomes;
    QStringList outputPaths;
    QList<bool> busyAtProgress;
    bool busy = false;
    int yields = 0;

    int listCount() const override { return int(entries.size()); }
    QString listText(int position) const override {
        if (position < 1 || position > entries.size())
            throw Failure(QStringLiteral("Index out of bounds"));
        return entries.at(position - 1);
    }
    WatermarkJob readOptions() const override { return options; }
    void setProgress(double value, const QString& text) override {
        busyAtProgress << busy;
        progressValues << value;
        progressTexts << text;
    }
    void setBusy(bool on) override { busy = on; }
    void redraw() override {}
    void yield() override {
        ++yields;
        if (onYield)
            onYield(yields);
    }
    void showMessage(const QString& text) override { messages << text; }
    void reportError(int step, const QString& text) override { reports << qMakePair(step, text); }
    bool imagingStartFailed() const override { return startFailed; }
    RunSettings runSettings() const override { return settings; }
    void imageFinished(const ImageReport& report) override {
        outcomes << report.outcome;
        outputPaths << report.outputPath;
        if (onFinished)
            onFinished(report);
    }
};

QByteArray Digest(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}
} // namespace

class TestBatch : public QObject {
    Q_OBJECT

private slots:
    void init();

    void checksInOrder_data();
    void checksInOrder();

    void outputNamesAndFormats_data();
    void outputNamesAndFormats();
    void trailingSeparatorIsPassedOn();

    void progressAndEnd();
    void failingImagesAreReportedAndTheRunGoesOn();
    void failedEncoderWriteIsReported();
    void aWatermarkThatCannotBeDecodedIsReportedOnce_data();
    void aWatermarkThatCannotBeDecodedIsReportedOnce();
    void noPlacementPutsEveryWatermarkAtTheOrigin();
    void optionsAndListChangedDuringTheRunChangeNothing();

    void inputsAreNeverReplaced();
    void secondStartDuringARunDoesNothing();

private:
    QString in(const QString& name) const { return inDir_->filePath(name); }
    QString out(const QString& name) const { return outDir_->filePath(name); }
    void writeInput(const QString& name, QRgb color = qRgb(0, 120, 0), QSize size = {80, 60});
    ScriptedWindow readyWindow(const QStringList& inputs);

    std::unique_ptr<QTemporaryDir> inDir_, outDir_;
};

void TestBatch::init() {
    inDir_ = std::make_unique<QTemporaryDir>();
    outDir_ = std::make_unique<QTemporaryDir>();
    QImage mark = SolidImage(10, 6, qRgb(255, 255, 255));
    mark.fill(qRgb(200, 0, 0));
    mark.setPixel(0, 0, qRgb(255, 255, 255));
    WriteImage(mark, in(QStringLiteral("mark.png")), "png");
}

void TestBatch::writeInput(const QString& name, QRgb color, QSize size) {
    WriteImage(SolidImage(size.width(), size.height(), color), in(name), "png");
}

ScriptedWindow TestBatch::readyWindow(const QStringList& inputs) {
    ScriptedWindow window;
    for (const QString& name : inputs)
        window.entries << in(name);
    window.options.WatermarkPath = in(QStringLiteral("mark.png"));
    window.options.OutputFolder = outDir_->path();
    window.options.Placement = 0;
    window.options.Format = OutputFormat::Png;
    return window;
}

void TestBatch::checksInOrder_data() {
    QTest::addColumn<bool>("emptyList");
    QTest::addColumn<QString>("watermark"); // "ok", "missing" or "folder"
    QTest::addColumn<bool>("folderMissing");
    QTest::addColumn<bool>("startFailed");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("refusal"); // a RunRefusal
    QTest::newRow("empty list comes first")
        << true << "missing" << true << true << kNoFilesMessage << int(RunRefusal::NoFiles);
    QTest::newRow("missing watermark")
        << false << "missing" << true << true << kWatermarkNotFoundMessage
        << int(RunRefusal::WatermarkNotFound);
    QTest::newRow("watermark naming a folder")
        << false << "folder" << false << false << kWatermarkNotFoundMessage
        << int(RunRefusal::WatermarkNotFound);
    QTest::newRow("missing output folder")
        << false << "ok" << true << true << kFolderMissingMessage << int(RunRefusal::FolderMissing);
    QTest::newRow("imaging not started")
        << false << "ok" << false << true << kImagingNotStartedMessage
        << int(RunRefusal::ImagingNotStarted);
}

void TestBatch::checksInOrder() {
    QFETCH(bool, emptyList);
    QFETCH(QString, watermark);
    QFETCH(bool, folderMissing);
    QFETCH(bool, startFailed);
    QFETCH(QString, message);
    QFETCH(int, refusal);
    writeInput(QStringLiteral("a.png"));
    ScriptedWindow window = readyWindow(emptyList ? QStringList() : QStringList{"a.png"});
    if (watermark == QLatin1String("missing"))
        window.options.WatermarkPath = in(QStringLiteral("nothing.png"));
    if (watermark == QLatin1String("folder"))
        window.options.WatermarkPath = inDir_->path();
    if (folderMissing)
        window.options.OutputFolder = out(QStringLiteral("not-there"));
    window.startFailed = startFailed;

    const RunOutcome outcome = RunWatermarkBatch(window);

    // The front ends decide on the kind, and show the text.
    QCOMPARE(outcome.end, RunEnd::Refused);
    QCOMPARE(int(outcome.check.refusal), refusal);
    QCOMPARE(outcome.check.text, message);
    QCOMPARE(CheckWatermarkBatch(window).refusal, outcome.check.refusal);
    QCOMPARE(window.messages, QStringList{message});
    QVERIFY(window.progressValues.isEmpty());
    QVERIFY(window.reports.isEmpty());
    QVERIFY(QDir(outDir_->path()).isEmpty());
}

void TestBatch::outputNamesAndFormats_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("output"); // empty: nothing is written
    QTest::addColumn<QByteArray>("decodedAs");
    const int automatic = int(OutputFormat::Automatic);
    QTest::newRow("Automatic keeps JPG in capitals") << "photo.JPG" << automatic << "photo.JPG"
                                                     << QByteArray("jpeg");
    QTest::newRow("Automatic gif") << "logo.gif" << automatic << "logo.gif" << QByteArray("gif");
    QTest::newRow("Automatic bmp") << "b.Bmp" << automatic << "b.Bmp" << QByteArray("bmp");
    QTest::newRow("Automatic tif") << "scan.tif" << automatic << "scan.tif" << QByteArray("tiff");
    QTest::newRow("Automatic png") << "x.png" << automatic << "x.png" << QByteArray("png");
    QTest::newRow("Automatic jpeg") << "photo.jpeg" << automatic << "photo.jpeg"
                                    << QByteArray("jpeg");
    QTest::newRow("Automatic jpe") << "p.JPE" << automatic << "p.JPE" << QByteArray("jpeg");
    QTest::newRow("Automatic jfif") << "p.jfif" << automatic << "p.jfif" << QByteArray("jpeg");
    QTest::newRow("Automatic tiff") << "scan.TIFF" << automatic << "scan.TIFF" << QByteArray("tiff");
    QTest::newRow("Automatic unknown extension") << "pic.xyz" << automatic << "" << QByteArray();
    QTest::newRow("Jpg keeps every dot but the last") << "holiday.photo.png" << int(OutputFormat::Jpg)
                                                      << "holiday.photo.jpg" << QByteArray("jpeg");
    QTest::newRow("Jpg of a name without a dot") << "README" << int(OutputFormat::Jpg) << "jpg"
                                                 << QByteArray("jpeg");
    QTest::newRow("Bmp") << "a.gif" << int(OutputFormat::Bmp) << "a.bmp" << QByteArray("bmp");
    QTest::newRow("Png") << "a.jpg" << int(OutputFormat::Png) << "a.png" << QByteArray("png");
    QTest::newRow("no format selected") << "a.png" << -1 << "" << QByteArray();
}

void TestBatch::outputNamesAndFormats() {
    QFETCH(QString, input);
    QFETCH(int, format);
    QFETCH(QString, output);
    QFETCH(QByteArray, decodedAs);
    writeInput(input);
    ScriptedWindow window = readyWindow({input});
    window.options.Format = format < 0 ? std::nullopt : std::optional(OutputFormat(format));

    RunWatermarkBatch(window);

    QVERIFY(window.reports.isEmpty());
    QCOMPARE(window.messages, QStringList{kDoneMessage});
    const QStringList written = QDir(outDir_->path()).entryList(QDir::Files);
    if (output.isEmpty()) {
        QVERIFY(written.isEmpty());
        QCOMPARE(window.outcomes, QList<ImageOutcome>{ImageOutcome::Skipped});
        return;
    }
    QCOMPARE(written, QStringList{output});
    QImageReader reader(out(output));
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), decodedAs);
    const QImage image = reader.read();
    QCOMPARE(image.size(), QSize(80, 60));
    QCOMPARE(window.outcomes, QList<ImageOutcome>{ImageOutcome::Written});
}

void TestBatch::trailingSeparatorIsPassedOn() {
    writeInput(QStringLiteral("a.png"));
    ScriptedWindow window = readyWindow({"a.png"});
    window.options.OutputFolder = outDir_->path() + QStringLiteral("/");
    RunWatermarkBatch(window);
    QCOMPARE(window.outputPaths, QStringList{outDir_->path() + QStringLiteral("//a.png")});
    QVERIFY(QFile::exists(out(QStringLiteral("a.png"))));
}

void TestBatch::progressAndEnd() {
    const QStringList names{"one.png", "two.png", "three.png", "four.png"};
    for (const QString& name : names)
        writeInput(name);
    ScriptedWindow window = readyWindow(names);

    RunWatermarkBatch(window);

    QCOMPARE(window.progressValues, (QList<double>{25, 50, 75, 100, 0}));
    QCOMPARE(window.progressTexts,
             (QStringList{"Processing: one.png", "Processing: two.png", "Processing: three.png",
                          "Processing: four.png", kIdleProgressText}));
    QCOMPARE(window.busyAtProgress, (QList<bool>{true, true, true, true, false}));
    QVERIFY(!window.busy);
    QCOMPARE(window.messages, QStringList{kDoneMessage});
}

void TestBatch::failingImagesAreReportedAndTheRunGoesOn() {
    writeInput(QStringLiteral("first.png"), qRgb(0, 0, 250));
    writeInput(QStringLiteral("last.png"));
    QFile junk(in(QStringLiteral("junk.png")));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("no picture here");
    junk.close();
    ScriptedWindow window = readyWindow({"first.png", "missing.png", "junk.png", "last.png"});

    RunWatermarkBatch(window);

    QCOMPARE(window.reports.size(), 2);
    QCOMPARE(window.reports[0].first, window.reports[1].first);
    QCOMPARE(window.messages, QStringList{kDoneMessage});
    // The failed images get no file: nothing of the first image is stored under their names.
    QCOMPARE(QDir(outDir_->path()).entryList(QDir::Files), (QStringList{"first.png", "last.png"}));
    QCOMPARE(window.outcomes, (QList<ImageOutcome>{ImageOutcome::Written, ImageOutcome::Failed,
                                                   ImageOutcome::Failed, ImageOutcome::Written}));
}

void TestBatch::aWatermarkThatCannotBeDecodedIsReportedOnce_data() {
    QTest::addColumn<bool>("pipe");
    QTest::newRow("not a picture") << false;
    // Never opened, not even to learn its content for the copies' marks: it would never end.
    QTest::newRow("named pipe") << true;
}

void TestBatch::aWatermarkThatCannotBeDecodedIsReportedOnce() {
    QFETCH(bool, pipe);
    for (const char* name : {"a.png", "b.png", "c.png"})
        writeInput(name);
    QFile junk(in(QStringLiteral("mark.png")));
    QVERIFY(junk.remove());
    if (pipe) {
        QVERIFY(::mkfifo(QFile::encodeName(junk.fileName()).constData(), 0644) == 0);
    } else {
        QVERIFY(junk.open(QIODevice::WriteOnly | QIODevice::Truncate));
        junk.write("no picture here");
        junk.close();
    }
    ScriptedWindow window = readyWindow({"a.png", "b.png", "c.png"});

    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread run([&window, &done] {
        RunWatermarkBatch(window);
        done.set_value();
    });
    if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        run.detach();
        QFAIL("the run waits on the watermark");
    }
    run.join();

    // One report naming the watermark, not one for every image against the image's name.
    QCOMPARE(window.reports.size(), 1);
    QCOMPARE(window.reports[0].first, 70);
    QVERIFY(window.reports[0].second.startsWith(in(QStringLiteral("mark.png")) + ": "));
    QCOMPARE(window.messages, QStringList{kDoneMessage});
    QVERIFY(QDir(outDir_->path()).isEmpty());
}

void TestBatch::failedEncoderWriteIsReported() {
    writeInput(QStringLiteral("a.png"));
    writeInput(QStringLiteral("b.png"));
    // A folder where the output file should go: no writer can replace it, not even as root.
    QVERIFY(QDir(outDir_->path()).mkdir(QStringLiteral("a.png")));
    ScriptedWindow window = readyWindow({"a.png", "b.png"});
    window.options.Existing = ExistingFiles::Replace; // kept both, the folder would stand aside

    RunWatermarkBatch(window);

    QCOMPARE(window.reports.size(), 1);
    QVERIFY(!window.reports[0].second.isEmpty());
    QVERIFY(QFileInfo(out(QStringLiteral("a.png"))).isDir());
    QVERIFY(QFileInfo(out(QStringLiteral("b.png"))).isFile());
    QCOMPARE(window.outcomes, (QList<ImageOutcome>{ImageOutcome::Failed, ImageOutcome::Written}));
    QCOMPARE(window.messages, QStringList{kDoneMessage});
}

void TestBatch::noPlacementPutsEveryWatermarkAtTheOrigin() {
    writeInput(QStringLiteral("a.png"));
    writeInput(QStringLiteral("b.png"), qRgb(0, 0, 90), QSize(40, 30));
    ScriptedWindow window = readyWindow({"a.png", "b.png"});
    window.options.Placement = -1;

    RunWatermarkBatch(window);

    for (const QString& name : {QStringLiteral("a.png"), QStringLiteral("b.png")}) {
        const QImage image = LoadPicture(out(name));
        QCOMPARE(image.pixel(0, 0), LoadPicture(in(name)).pixel(0, 0)); // keyed out corner
        QCOMPARE(image.pixel(1, 0), qRgb(200, 0, 0));
        QCOMPARE(image.pixel(9, 5), qRgb(200, 0, 0));
        QCOMPARE(image.pixel(10, 6), LoadPicture(in(name)).pixel(10, 6));
    }
}

void TestBatch::optionsAndListChangedDuringTheRunChangeNothing() {
    for (const char* name : {"a.png", "b.png", "c.png"})
        writeInput(name);
    ScriptedWindow window = readyWindow({"a.png", "b.png", "c.png"});
    window.settings.workers = 1;
    window.onFinished = [&](const ImageReport& report) {
        if (report.position == 1) {
            window.options.Format = OutputFormat::Bmp;
            window.options.Placement = 8;
            window.entries.removeLast();
        }
    };

    RunWatermarkBatch(window);

    QCOMPARE(QDir(outDir_->path()).entryList(QDir::Files), (QStringList{"a.png", "b.png", "c.png"}));
    QVERIFY(window.reports.isEmpty());
    QCOMPARE(window.outcomes, QList<ImageOutcome>(3, ImageOutcome::Written));
    // Every image got the mark where the run's placement put it at Start: upper left.
    for (const char* name : {"a.png", "b.png", "c.png"}) {
        const QImage stamped = LoadPicture(out(name));
        QCOMPARE(stamped.pixel(2, 2), qRgb(200, 0, 0));
        QCOMPARE(stamped.pixel(79, 59), LoadPicture(in(name)).pixel(79, 59));
    }
}

void TestBatch::inputsAreNeverReplaced() {
    writeInput(QStringLiteral("a.png"));
    writeInput(QStringLiteral("b.png"));
    QVERIFY(QFile::link(in(QStringLiteral("b.png")), in(QStringLiteral("link.png"))));
    const QByteArray before = Digest(in(QStringLiteral("a.png")));
    const QByteArray beforeB = Digest(in(QStringLiteral("b.png")));
    // Automatic into the inputs' own folder: each output path is an input itself. The link is the
    // same file as b.png, so it is a repeat and not stamped again.
    ScriptedWindow window = readyWindow({"a.png", "b.png"});
    window.entries << in(QStringLiteral("link.png"));
    window.options.Format = OutputFormat::Automatic;
    window.options.OutputFolder = inDir_->path() + QStringLiteral("/.");

    RunWatermarkBatch(window);

    QCOMPARE(window.reports.size(), 2);
    for (const auto& report : window.reports)
        QVERIFY(report.second.startsWith(kWouldReplaceInputMessage));
    QCOMPARE(Digest(in(QStringLiteral("a.png"))), before);
    QCOMPARE(Digest(in(QStringLiteral("b.png"))), beforeB);
    QCOMPARE(window.outcomes, (QList<ImageOutcome>{ImageOutcome::Skipped, ImageOutcome::Skipped,
                                                   ImageOutcome::Repeat}));
    QCOMPARE(window.messages, QStringList{kDoneMessage});
}

void TestBatch::secondStartDuringARunDoesNothing() {
    writeInput(QStringLiteral("a.png"));
    writeInput(QStringLiteral("b.png"));
    ScriptedWindow window = readyWindow({"a.png", "b.png"});
    window.onFinished = [&](const ImageReport& report) {
        if (report.position == 1)
            QCOMPARE(RunWatermarkBatch(window).end, RunEnd::Ignored);
    };

    QCOMPARE(RunWatermarkBatch(window).end, RunEnd::Done);

    QCOMPARE(window.messages, QStringList{kDoneMessage});
    QCOMPARE(window.outcomes.size(), 2);

    // And once the run has ended, the next start works again.
    window.onFinished = nullptr;
    RunWatermarkBatch(window);
    QCOMPARE(window.messages, (QStringList{kDoneMessage, kDoneMessage}));
}

QTEST_GUILESS_MAIN(TestBatch)
#include "tst_batch.moc"
