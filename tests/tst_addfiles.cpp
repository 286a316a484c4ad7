// Filling the image list: the open dialog, the folder scan button with its remembered extension
// and folder, files and folders dropped from the desktop, and the sample images.
#include "app/form1.h"
#include "filelist/addfiles.h"
#include "filelist/imagelist.h"
#include "filelist/samples.h"
#include "options/optionspanel.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/windowkit.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {
// Creates empty files (and their folders) below root; an entry ending in "/" is a folder only.
void Make(const QString& root, const QStringList& entries) {
    for (const QString& entry : entries) {
        const QString path = root + u'/' + entry;
        QVERIFY(QDir().mkpath(entry.endsWith(u'/') ? path : QFileInfo(path).path()));
        if (!entry.endsWith(u'/')) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
}

QStringList Prefixed(const QString& root, const QStringList& entries) {
    QStringList paths;
    for (const QString& entry : entries)
        paths << root + u'/' + entry;
    return paths;
}

// The folders of the paths in the order they come, one mention per run: a folder whose files do
// not come together shows twice. The order of names within one folder is the listing's own.
QStringList FolderRuns(const QStringList& paths) {
    QStringList runs;
    for (const QString& path : paths) {
        const QString folder = FolderOfPath(path);
        if (runs.isEmpty() || runs.last() != folder)
            runs << folder;
    }
    return runs;
}

QStringList Sorted(QStringList paths) {
    paths.sort();
    return paths;
}

std::unique_ptr<QMimeData> FileDrag(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    data->setUrls(urls);
    return data;
}
} // namespace

class TestAddFiles : public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void extensionAndFolderAreRemembered();
    void emptyOrCancelledExtensionEndsTheClick_data();
    void emptyOrCancelledExtensionEndsTheClick();
    void scanListsFolderByFolderUnderTheBusyMark_data();
    void scanListsFolderByFolderUnderTheBusyMark();
    void unsavableSettingIsReportedAndTheScanGoesOn();
    void namesThatCannotBeReadAreToldOnce();
    void openDialogAppendsWhatWasPicked();
    void dragIsWelcomeOnlyWithLocalFiles_data();
    void dragIsWelcomeOnlyWithLocalFiles();
    void fileManagerDataBecomesPlainPaths_data();
    void fileManagerDataBecomesPlainPaths();
    void dropAddsFilesAndFolderTrees_data();
    void dropAddsFilesAndFolderTrees();
    void dropNeverAsksTheSourceToMove();
    void samplesAreAddedOnceAndTheQuestionComesEachTime();
    void sampleListedWithOtherCaseIsAddedAgain();
    void emptyOrMissingSamplesFolderStillAsks_data();
    void emptyOrMissingSamplesFolderStillAsks();
    void yesOpensTheSamplesFolder();
    void sampleWatermarkIsFilledInEvenWhenMissing();

private:
    QString configFile() const { return config_.path() + QStringLiteral("/Varnholt.conf"); }
    // Runs the folder scan button, answering the extension prompt and the folder picker.
    void scanFolder(const std::optional<QString>& extension, const QString& folder);
    // Sends a whole drag over and onto the list's viewport; true when the list welcomed it.
    bool dragOver(const QMimeData& data);
    void drop(const QMimeData& data, Qt::DropActions actions = Qt::CopyAction,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier, Qt::DropAction* taken = nullptr);
    QStringList entries() const;

    QTemporaryDir config_;
    std::unique_ptr<QTemporaryDir> program_;
    std::unique_ptr<QTemporaryDir> tree_;
};

void TestAddFiles::initTestCase() {
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
    qputenv("HOME", QFile::encodeName(config_.path()));
    ImagingRuntime::SetProbeForTesting([] { return true; });
}

void TestAddFiles::init() {
    QFile::remove(configFile());
    program_ = std::make_unique<QTemporaryDir>();
    tree_ = std::make_unique<QTemporaryDir>();
    SetProgramFolderForTesting(program_->path());
    start().ListView1->setPrompter(prompter_.get());
    prompter_->clear();
}

void TestAddFiles::cleanup() {
    stop();
    SetProgramFolderForTesting(QString());
}

void TestAddFiles::scanFolder(const std::optional<QString>& extension, const QString& folder) {
    prompter_->textAnswers.enqueue(extension);
    prompter_->folderAnswers.enqueue(folder);
    form_->PushButton3_Click();
}

bool TestAddFiles::dragOver(const QMimeData& data) {
    QWidget* viewport = form_->ListView1->viewport();
    const QPoint point = viewport->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QCoreApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    move.setAccepted(false);
    QCoreApplication::sendEvent(viewport, &move);
    return enter.isAccepted() && move.isAccepted();
}

void TestAddFiles::drop(const QMimeData& data, Qt::DropActions actions,
                        Qt::KeyboardModifiers modifiers, Qt::DropAction* taken) {
    QVERIFY(dragOver(data));
    QWidget* viewport = form_->ListView1->viewport();
    QDropEvent event(viewport->rect().center(), actions, &data, Qt::LeftButton, modifiers);
    event.setAccepted(false);
    QCoreApplication::sendEvent(viewport, &event);
    QVERIFY(event.isAccepted());
    if (taken)
        *taken = event.dropAction();
    // The files are added just after the drop has returned.
    QCoreApplication::sendPostedEvents(form_->ListView1, QEvent::MetaCall);
}

QStringList TestAddFiles::entries() const {
    QStringList texts;
    for (int i = 1; i <= form_->ListView1->count(); ++i)
        texts << form_->ListView1->textAt(i);
    return texts;
}

void TestAddFiles::extensionAndFolderAreRemembered() {
    const QString root = tree_->path();
    Make(root, {QStringLiteral("one/a.png"), QStringLiteral("two/b.png")});
    scanFolder(QStringLiteral("png"), root + QStringLiteral("/one"));
    QCOMPARE(prompter_->shown.first().title, ShortTitle());
    QCOMPARE(prompter_->shown.first().text,
             QStringLiteral("Enter file extension to load:\r\r(* for all files, txt for all txt "
                            "files, doc for all doc files, etc.)"));
    QCOMPARE(prompter_->shown.last().text, QStringLiteral("Please select folder:"));
    QCOMPARE(prompter_->textInitials, QStringList{QStringLiteral("*")});
    QCOMPARE(prompter_->folderInitials, QStringList{QString()});

    // The picker is cancelled after a new extension: that extension is kept, nothing is added.
    scanFolder(QStringLiteral("jpg"), QString());
    QCOMPARE(prompter_->textInitials.last(), QStringLiteral("png"));
    QCOMPARE(prompter_->folderInitials.last(), root + QStringLiteral("/one"));
    QCOMPARE(entries(), Prefixed(root, {QStringLiteral("one/a.png")}));

    scanFolder(QStringLiteral("png"), root + QStringLiteral("/two"));
    QCOMPARE(prompter_->textInitials.last(), QStringLiteral("jpg"));
    QCOMPARE(GetSetting(SettingKey::LastScanFolder), root + QStringLiteral("/two"));
    QCOMPARE(entries(), Prefixed(root, {QStringLiteral("one/a.png"), QStringLiteral("two/b.png")}));
    QVERIFY(prompter_->messages().isEmpty());
}

void TestAddFiles::emptyOrCancelledExtensionEndsTheClick_data() {
    QTest::addColumn<std::optional<QString>>("answer");
    QTest::newRow("empty") << std::optional<QString>(QString());
    QTest::newRow("cancelled") << std::optional<QString>();
}

void TestAddFiles::emptyOrCancelledExtensionEndsTheClick() {
    QFETCH(std::optional<QString>, answer);
    SaveSetting(SettingKey::Extension, QStringLiteral("gif"));
    Make(tree_->path(), {QStringLiteral("a.gif")});
    scanFolder(answer, tree_->path());
    QCOMPARE(GetSetting(SettingKey::Extension), QStringLiteral("gif"));
    QVERIFY(!HasSetting(SettingKey::LastScanFolder));
    QCOMPARE(prompter_->count(QStringLiteral("folder")), 0);
    QCOMPARE(form_->ListView1->count(), 0);
}

void TestAddFiles::scanListsFolderByFolderUnderTheBusyMark_data() {
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QStringList>("expected");
    const QStringList jpegs = {QStringLiteral("A.JPG"), QStringLiteral("b.jpg"),
                               QStringLiteral("s1/c.jpg"), QStringLiteral("s2/d.JPG"),
                               QStringLiteral("s1/deep/e.jpg")};
    QTest::newRow("lower case") << QStringLiteral("jpg") << jpegs;
    QTest::newRow("upper case") << QStringLiteral("JPG") << jpegs;
    QTest::newRow("every file") << QStringLiteral("*")
                                << QStringList{
                                       QStringLiteral("A.JPG"),    QStringLiteral("README"),
                                       QStringLiteral("b.jpg"),    QStringLiteral("notes.txt"),
                                       QStringLiteral("s1/c.jpg"), QStringLiteral("s2/d.JPG"),
                                       QStringLiteral("s2/x.png"), QStringLiteral("s1/deep/e.jpg")};
    QTest::newRow("leading dot") << QStringLiteral(".jpg") << QStringList();
}

void TestAddFiles::scanListsFolderByFolderUnderTheBusyMark() {
    QFETCH(QString, extension);
    QFETCH(QStringList, expected);
    const QString root = tree_->path() + QStringLiteral("/top");
    Make(root, {QStringLiteral("b.jpg"), QStringLiteral("A.JPG"), QStringLiteral("notes.txt"),
                QStringLiteral("README"), QStringLiteral("~b.jpg"), QStringLiteral(".h.jpg"),
                QStringLiteral("s1/c.jpg"), QStringLiteral("s1/deep/e.jpg"),
                QStringLiteral("s2/d.JPG"), QStringLiteral("s2/x.png")});
    QList<bool> busyAtAppend;
    connect(form_->ListView1->model(), &QAbstractItemModel::rowsInserted, this,
            [&] { busyAtAppend << form_->isBusy(); });
    scanFolder(extension, root);

    const QStringList expectedPaths = Prefixed(root, expected);
    QCOMPARE(FolderRuns(entries()), FolderRuns(expectedPaths));
    QCOMPARE(Sorted(entries()), Sorted(expectedPaths));
    QVERIFY(!busyAtAppend.contains(false));
    QVERIFY(!form_->isBusy());
    QCOMPARE(GetSetting(SettingKey::Extension), extension);
}

void TestAddFiles::namesThatCannotBeReadAreToldOnce() {
    // Names whose bytes are not valid UTF-8 cannot be given to the decoders as text: the scan
    // and the drop leave them out, and say so in one box each.
    const QString root = tree_->path() + QStringLiteral("/top");
    Make(root, {QStringLiteral("good.jpg"), QStringLiteral("sub/")});
    const QByteArray bytes = QFile::encodeName(root);
    for (const QByteArray& name : {QByteArray("/bad\xff.jpg"), QByteArray("/sub/also\xfe.jpg")}) {
        QVERIFY(::close(::open((bytes + name).constData(), O_CREAT | O_WRONLY, 0644)) == 0);
    }
    scanFolder(QStringLiteral("*"), root);
    QCOMPARE(entries(), QStringList{root + QStringLiteral("/good.jpg")});
    QCOMPARE(prompter_->messages(),
             QStringList{kLeftOutMessage + root + QStringLiteral("/bad\uFFFD.jpg\r") + root +
                         QStringLiteral("/sub/also\uFFFD.jpg")});

    // A drop answers the other program before its note shows, so that the drag is released.
    prompter_->clear();
    form_->ListView1->clearEntries();
    bool returned = false, returnedBeforeTheBox = false;
    prompter_->whileNextBoxShows = [&] {
        returnedBeforeTheBox = returned;
    };
    const std::unique_ptr<QMimeData> data = FileDrag({root});
    QVERIFY(dragOver(*data));
    QDropEvent event(form_->ListView1->viewport()->rect().center(), Qt::CopyAction, data.get(),
                     Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    QCoreApplication::sendEvent(form_->ListView1->viewport(), &event);
    returned = true;
    QVERIFY(event.isAccepted());
    QVERIFY(prompter_->shown.isEmpty());
    QTRY_COMPARE(prompter_->messages().size(), 1);
    QVERIFY(returnedBeforeTheBox);
    QVERIFY(prompter_->messages()[0].startsWith(kLeftOutMessage));
    QCOMPARE(entries(), QStringList{root + QStringLiteral("/good.jpg")});
}

void TestAddFiles::unsavableSettingIsReportedAndTheScanGoesOn() {
    // A folder where the settings file belongs: every save fails.
    QFile::remove(configFile());
    QVERIFY(QDir().mkpath(configFile()));
    Make(tree_->path(), {QStringLiteral("a.png")});
    scanFolder(QStringLiteral("png"), tree_->path());
    const QStringList reports = prompter_->messages();
    QCOMPARE(reports.size(), 2);
    QVERIFY(reports[0].contains(ErrorLocation::AddFolderFiles + QStringLiteral("at line 2\r")));
    QVERIFY(reports[1].contains(ErrorLocation::AddFolderFiles + QStringLiteral("at line 4\r")));
    QCOMPARE(entries(), Prefixed(tree_->path(), {QStringLiteral("a.png")}));
    QVERIFY(!form_->isBusy());
    QVERIFY(QDir().rmdir(configFile()));
}

void TestAddFiles::openDialogAppendsWhatWasPicked() {
    form_->ListView1->append(QStringLiteral("/earlier.png"));
    form_->PushButton1_Click(); // cancelled
    QCOMPARE(entries(), QStringList{QStringLiteral("/earlier.png")});

    // Order as returned, no filtering: a typed name of no existing file and a text file too.
    const QStringList picked = {tree_->path() + QStringLiteral("/z.jpg"),
                                tree_->path() + QStringLiteral("/typed but missing.JPG"),
                                tree_->path() + QStringLiteral("/a notes.txt")};
    prompter_->fileAnswers.enqueue(picked);
    form_->PushButton1_Click();
    QCOMPARE(entries(), QStringList{QStringLiteral("/earlier.png")} + picked);

    QCOMPARE(prompter_->count(QStringLiteral("files")), 2);
    QCOMPARE(prompter_->shown.first().title,
             QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"));
    QCOMPARE(prompter_->multipleFlags, (QList<bool>{true, true}));
    const QString filter = prompter_->filters.first();
    QVERIFY(filter.startsWith(QStringLiteral("All Pictures (*.bmp *.jpg *.jpeg *.gif *.png *.tif "
                                             "*.tiff")));
    for (const char* pattern : {"*.BMP", "*.JPG", "*.JPEG", "*.GIF", "*.PNG", "*.TIF", "*.TIFF"})
        QVERIFY2(filter.contains(QLatin1String(pattern)), pattern);
    QVERIFY(filter.endsWith(u')'));
    QVERIFY(prompter_->messages().isEmpty());
}

void TestAddFiles::dragIsWelcomeOnlyWithLocalFiles_data() {
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("welcome");
    QTest::newRow("plain text") << QByteArray("text/plain") << QByteArray("/tmp/a.jpg") << false;
    QTest::newRow("web address") << QByteArray("text/uri-list")
                                 << QByteArray("https://example.com/a.jpg\r\n") << false;
    QTest::newRow("other machine")
        << QByteArray("text/uri-list") << QByteArray("file://elsewhere.example/a.jpg\r\n") << false;
    QTest::newRow("missing file") << QByteArray("text/uri-list")
                                  << QByteArray("file:///no/such/a.jpg\r\n") << true;
    QTest::newRow("one file among addresses")
        << QByteArray("text/uri-list")
        << QByteArray("https://example.com/a.jpg\r\nfile:///tmp/b.jpg\r\n") << true;
}

void TestAddFiles::dragIsWelcomeOnlyWithLocalFiles() {
    QFETCH(QByteArray, format);
    QFETCH(QByteArray, payload);
    QFETCH(bool, welcome);
    QMimeData data;
    data.setData(QString::fromLatin1(format), payload);
    QCOMPARE(dragOver(data), welcome);
    if (!welcome) {
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(form_->ListView1->viewport(), &event);
        QCOMPARE(form_->ListView1->count(), 0);
    }
}

void TestAddFiles::fileManagerDataBecomesPlainPaths_data() {
    QTest::addColumn<QByteArray>("uriList");
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("spaces and accents")
        << QByteArray("file:///home/u/My%20Pictures/caf%C3%A9.jpg\r\n")
        << QStringList{QString::fromUtf8("/home/u/My Pictures/café.jpg")};
    QTest::newRow("several, with a comment line")
        << QByteArray("# from the file manager\r\nfile:///a/1.png\r\nfile:///a/2%25.png\r\n")
        << QStringList{QStringLiteral("/a/1.png"), QStringLiteral("/a/2%.png")};
    QTest::newRow("localhost") << QByteArray("file://localhost/a/b.gif\r\n")
                               << QStringList{QStringLiteral("/a/b.gif")};
    QTest::newRow("addresses left out")
        << QByteArray("https://example.com/x.jpg\r\nfile:///a/y.jpg\r\n")
        << QStringList{QStringLiteral("/a/y.jpg")};
}

void TestAddFiles::fileManagerDataBecomesPlainPaths() {
    QFETCH(QByteArray, uriList);
    QFETCH(QStringList, paths);
    QMimeData data;
    data.setData(QStringLiteral("text/uri-list"), uriList);
    QCOMPARE(DroppedLocalPaths(data), paths);
}

void TestAddFiles::dropAddsFilesAndFolderTrees_data() {
    // Each drop is one list of entries below the tree; the entries expected after all drops.
    QTest::addColumn<QList<QStringList>>("drops");
    QTest::addColumn<QStringList>("expected");
    const QStringList treeA = {QStringLiteral("A/a1.jpg"), QStringLiteral("A/sub/notes.txt")};
    const QStringList treeB = {QStringLiteral("B/b1.gif")};
    QTest::newRow("one file twice")
        << QList<QStringList>{{QStringLiteral("loose.txt")}, {QStringLiteral("loose.txt")}}
        << QStringList{QStringLiteral("loose.txt"), QStringLiteral("loose.txt")};
    QTest::newRow("folder tree") << QList<QStringList>{{QStringLiteral("A")}} << treeA;
    QTest::newRow("folder named with a final separator")
        << QList<QStringList>{{QStringLiteral("A/")}} << treeA;
    QTest::newRow("two folders") << QList<QStringList>{{QStringLiteral("A"), QStringLiteral("B")}}
                                 << treeA + treeB;
    QTest::newRow("mixture in the dropped order")
        << QList<QStringList>{{QStringLiteral("B"), QStringLiteral("missing.jpg"),
                               QStringLiteral("A"), QStringLiteral("loose.txt")}}
        << treeB + QStringList{QStringLiteral("missing.jpg")} + treeA +
               QStringList{QStringLiteral("loose.txt")};
}

void TestAddFiles::dropAddsFilesAndFolderTrees() {
    QFETCH(QList<QStringList>, drops);
    QFETCH(QStringList, expected);
    const QString root = tree_->path();
    Make(root, {QStringLiteral("A/a1.jpg"), QStringLiteral("A/~a1.jpg"), QStringLiteral("A/.a.jpg"),
                QStringLiteral("A/sub/notes.txt"), QStringLiteral("B/b1.gif"),
                QStringLiteral("loose.txt")});
    QList<bool> busyAtAppend;
    connect(form_->ListView1->model(), &QAbstractItemModel::rowsInserted, this,
            [&] { busyAtAppend << form_->isBusy(); });
    for (const QStringList& dropped : drops) {
        QStringList paths = Prefixed(root, dropped);
        drop(*FileDrag(paths));
    }
    QCOMPARE(entries(), Prefixed(root, expected));
    QVERIFY(!busyAtAppend.contains(true));
    QVERIFY(prompter_->shown.isEmpty());
}

void TestAddFiles::dropNeverAsksTheSourceToMove() {
    // Shift asks for a move; the list takes only names, so the source must keep its files.
    const QString file = tree_->path() + QStringLiteral("/keep.jpg");
    Make(tree_->path(), {QStringLiteral("keep.jpg")});
    Qt::DropAction taken = Qt::IgnoreAction;
    drop(*FileDrag({file}), Qt::CopyAction | Qt::MoveAction, Qt::ShiftModifier, &taken);
    QCOMPARE(taken, Qt::CopyAction);
    QCOMPARE(entries(), QStringList{file});
}

void TestAddFiles::samplesAreAddedOnceAndTheQuestionComesEachTime() {
    const QString samples = program_->path() + QStringLiteral("/Samples");
    Make(program_->path(), {QStringLiteral("Samples/b.jpg"), QStringLiteral("Samples/a.png"),
                            QStringLiteral("Samples/deeper/c.png")});
    form_->PushButton8_Click();
    const QStringList first = entries();
    QCOMPARE(Sorted(first), Prefixed(samples, {QStringLiteral("a.png"), QStringLiteral("b.jpg")}));
    form_->PushButton8_Click();
    QCOMPARE(entries(), first);

    // A sample put there since the last press is found by the next one.
    Make(program_->path(), {QStringLiteral("Samples/new.gif")});
    form_->PushButton8_Click();
    QCOMPARE(entries(), first + QStringList{samples + QStringLiteral("/new.gif")});

    QCOMPARE(prompter_->count(QStringLiteral("question")), 3);
    QCOMPARE(prompter_->shown.first().title, ShortTitle());
    QCOMPARE(prompter_->shown.first().text,
             QStringLiteral("Would you like this software to open the folder where these sample "
                            "files are stored (so that you can view them before working with "
                            "them)?"));
    QVERIFY(opened_.isEmpty());
    QVERIFY(prompter_->messages().isEmpty());
}

void TestAddFiles::sampleListedWithOtherCaseIsAddedAgain() {
    Make(program_->path(), {QStringLiteral("Samples/a.png")});
    const QString sample = program_->path() + QStringLiteral("/Samples/a.png");
    const QString otherCase = program_->path() + QStringLiteral("/samples/A.PNG");
    form_->ListView1->append(otherCase);
    form_->PushButton8_Click();
    QCOMPARE(entries(), (QStringList{otherCase, sample}));
}

void TestAddFiles::emptyOrMissingSamplesFolderStillAsks_data() {
    QTest::addColumn<bool>("folderExists");
    QTest::newRow("empty") << true;
    QTest::newRow("missing") << false;
}

void TestAddFiles::emptyOrMissingSamplesFolderStillAsks() {
    QFETCH(bool, folderExists);
    if (folderExists)
        Make(program_->path(), {QStringLiteral("Samples/")});
    form_->PushButton8_Click();
    QCOMPARE(form_->ListView1->count(), 0);
    QCOMPARE(prompter_->count(QStringLiteral("question")), 1);
    QVERIFY(prompter_->messages().isEmpty());
}

void TestAddFiles::yesOpensTheSamplesFolder() {
    Make(program_->path(), {QStringLiteral("Samples/a.png")});
    prompter_->yesNoAnswers.enqueue(true);
    form_->PushButton8_Click();
    QCOMPARE(opened_, QList<QUrl>{QUrl::fromLocalFile(program_->path() + "/Samples/")});
    QCOMPARE(form_->ListView1->count(), 1);
}

void TestAddFiles::sampleWatermarkIsFilledInEvenWhenMissing() {
    const QString watermark = program_->path() + QStringLiteral("/Watermark/watermark.bmp");
    form_->PushButton8_Click();
    QCOMPARE(form_->options->Text1->text(), watermark);
    Make(program_->path(), {QStringLiteral("Watermark/watermark.bmp")});
    form_->options->Text1->clear();
    form_->PushButton8_Click();
    QCOMPARE(form_->options->Text1->text(), watermark);
}

QTEST_MAIN(TestAddFiles)
#include "tst_addfiles.moc"
