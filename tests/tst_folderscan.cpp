#include "support/failure.h"
#include "support/folderscan.h"
#include "support/paths.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
struct Scan {
    QStringList paths;
    QStringList reports;
    QStringList leftOut;
    int yields = 0;
};

// Scans the way the window does, recording every path, yield and report.
Scan Collect(const QString& folder, const QString& pattern = QStringLiteral("*.*")) {
    Scan scan;
    FolderScanHooks hooks;
    hooks.yield = [&scan] { ++scan.yields; };
    hooks.report = [&scan](int step, const QString& text) {
        scan.reports << QString::number(step) + u' ' + text;
    };
    hooks.leftOut = [&scan](const QString& path, const QString& reason) {
        scan.leftOut << path + QStringLiteral(": ") + reason;
    };
    CollectFolderFiles(
        folder, pattern, [&scan](const QString& path) { scan.paths << path; }, hooks);
    return scan;
}

// Creates folders (ending in "/") and empty files below root, with their parents. Names are raw
// bytes, so that names invalid in the file-name encoding can be made too.
void Make(const QString& root, const QList<QByteArray>& entries) {
    for (const QByteArray& entry : entries) {
        QByteArray path = QFile::encodeName(root);
        const QList<QByteArray> parts = entry.split('/');
        for (qsizetype i = 0; i < parts.size(); ++i) {
            path += '/' + parts[i];
            if (i + 1 < parts.size())
                QVERIFY(::mkdir(path.constData(), 0755) == 0 || errno == EEXIST);
            else if (!parts[i].isEmpty())
                QVERIFY(::close(::open(path.constData(), O_CREAT | O_WRONLY, 0644)) == 0);
        }
    }
}

QStringList Prefixed(const QString& root, const QStringList& names) {
    QStringList paths;
    for (const QString& name : names)
        paths << root + u'/' + name;
    return paths;
}
} // namespace

class TestFolderScan : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void filesComeLevelByLevel();
    void subfolderSets_data();
    void subfolderSets();
    void patternMatching_data();
    void patternMatching();
    void untrustedFolderNamesAreSkipped_data();
    void untrustedFolderNamesAreSkipped();
    void invalidFileNameIsNotListed();
    void unreadableFolderDropsOutSilently();
    void linkLoopsEnd();
    void fifoIsNeverOpened();
    void pathsAreCleaned();
    void pseudoFileSystemsAreSkipped();
    void failingAppendIsReportedAndScanGoesOn();
    void isOpenableFile_data();
    void isOpenableFile();
    void hasUnsafeNameChars_data();
    void hasUnsafeNameChars();

private:
    QString root() const { return dir_->path(); }
    std::unique_ptr<QTemporaryDir> dir_;
};

// A fresh tree for every case and every row.
void TestFolderScan::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

// Qt cannot remove names that are not valid in the file-name encoding, so the tree goes by bytes.
void TestFolderScan::cleanup() {
    const auto remove = [](const char* path, const struct stat*, int, FTW*) {
        return ::remove(path);
    };
    QCOMPARE(::nftw(QFile::encodeName(root()).constData(), remove, 16, FTW_DEPTH | FTW_PHYS), 0);
    dir_.reset();
}

void TestFolderScan::filesComeLevelByLevel() {
    Make(root(), {"z.jpg", "B.jpg", "b/b.jpg", "a/a.jpg", "a/a2/y.jpg", "a/a1/x.jpg", "b/b1/w.jpg",
                  "b/b1/deeper/e.jpg", "a/a1/deep/d.jpg"});
    const Scan scan = Collect(root());
    QCOMPARE(scan.paths,
             Prefixed(root(), {"B.jpg", "z.jpg", "a/a.jpg", "b/b.jpg", "a/a1/x.jpg", "a/a2/y.jpg",
                               "b/b1/w.jpg", "a/a1/deep/d.jpg", "b/b1/deeper/e.jpg"}));
    QVERIFY(scan.yields > 0);
    QCOMPARE(scan.reports, QStringList());
}

void TestFolderScan::subfolderSets_data() {
    QTest::addColumn<bool>("tree");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("whole tree") << true << QStringList{"", "a/", "b/", "a/a1/", "b/b1/", "a/a1/x/"};
    QTest::newRow("one level") << false << QStringList{"", "a/", "b/"};
}

void TestFolderScan::subfolderSets() {
    QFETCH(bool, tree);
    QFETCH(QStringList, expected);
    // The chosen folder is hidden itself: the user picked it, so it is scanned all the same.
    const QString top = root() + QStringLiteral("/.top/");
    Make(root(), {".top/b/b1/", ".top/a/a1/x/", ".top/.hidden/inner/", ".top/a/f.jpg"});
    QVERIFY(QFile::link(top + "a", top + "b/to-a"));
    FolderSet set{top};
    FolderScanHooks hooks;
    GetSubDirectories2016(set, tree, hooks);
    QCOMPARE(set, Prefixed(root() + "/.top", expected));
}

void TestFolderScan::patternMatching_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");
    const QStringList jpegs{"[x].jpg", "a+b(1).jpg", "a.jpg", "ab.jpg", "b.JPG", "x.jpg", "é.JPG"};
    QStringList all = jpegs;
    all << "d.png"
        << "noext"
        << "x.jpg.png";
    all.sort();
    QTest::newRow("all files") << "*.*" << all;
    QTest::newRow("star") << "*" << all;
    QTest::newRow("lower extension") << "*.jpg" << jpegs;
    QTest::newRow("upper extension") << "*.JPG" << jpegs;
    QTest::newRow("typed dot") << "*..jpg" << QStringList();
    QTest::newRow("one character") << "?.jpg" << QStringList{"a.jpg", "b.JPG", "x.jpg", "é.JPG"};
    QTest::newRow("plus and brackets") << "A+B(1).jpg" << QStringList{"a+b(1).jpg"};
    QTest::newRow("square brackets") << "[x].jpg" << QStringList{"[x].jpg"};
    QTest::newRow("accented upper") << "É.jpg" << QStringList{"é.JPG"};
    QTest::newRow("anchored end") << "*.jp" << QStringList();
}

void TestFolderScan::patternMatching() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    Make(root(), {"a.jpg", "b.JPG", "noext", "d.png", "ab.jpg", "a+b(1).jpg", "[x].jpg", "x.jpg",
                  "x.jpg.png", "\xc3\xa9.JPG", "~t.jpg", ".hidden.jpg", "folder.jpg/"});
    const Scan scan = Collect(root(), pattern);
    QCOMPARE(scan.paths, Prefixed(root(), expected));
    QCOMPARE(scan.reports, QStringList());
}

void TestFolderScan::untrustedFolderNamesAreSkipped_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("invalid bytes") << QByteArray("bad\xff") << kUndecodableNameReason;
    QTest::newRow("control character") << QByteArray("ctl\x01") << kUnsafeNameReason;
    QTest::newRow("question mark") << QByteArray("what?") << kUnsafeNameReason;
    QTest::newRow("C1 control") << QByteArray("nel\xc2\x85") << kUnsafeNameReason;
}

void TestFolderScan::untrustedFolderNamesAreSkipped() {
    QFETCH(QByteArray, name);
    Make(root(), {name + '/', name + "/in.jpg", name + "/deeper/", name + "/deeper/d.jpg", "good/",
                  "good/g.jpg", "zz/", "zz/z.jpg"});
    QFETCH(QString, reason);
    const Scan scan = Collect(root());
    QCOMPARE(scan.paths, Prefixed(root(), {"good/g.jpg", "zz/z.jpg"}));
    QCOMPARE(scan.reports, QStringList());
    // Left out, but told: one line for the folder, which takes its files with it.
    QCOMPARE(scan.leftOut, QStringList{root() + "/" + QString::fromUtf8(name) + ": " + reason});
}

void TestFolderScan::invalidFileNameIsNotListed() {
    // "\xff" would come back as U+FFFD, which names the other, valid file: it must not appear
    // twice.
    Make(root(), {"f\xff.jpg", "f\xef\xbf\xbd.jpg"});
    const Scan scan = Collect(root());
    QCOMPARE(scan.paths, Prefixed(root(), {QStringLiteral("f\uFFFD.jpg")}));
    QCOMPARE(scan.leftOut,
             QStringList{root() + QStringLiteral("/f\uFFFD.jpg: ") + kUndecodableNameReason});
}

void TestFolderScan::unreadableFolderDropsOutSilently() {
    Make(root(), {"a/a.jpg", "locked/l.jpg", "locked/sub/s.jpg", "z/z.jpg"});
    const QByteArray locked = QFile::encodeName(root() + "/locked");
    QVERIFY(::chmod(locked.constData(), 0) == 0);
    const auto restore = qScopeGuard([&] { ::chmod(locked.constData(), 0755); });
    if (DIR* probe = ::opendir(locked.constData())) {
        ::closedir(probe);
        QSKIP("this user reads folders regardless of their permissions");
    }
    const Scan scan = Collect(root());
    QCOMPARE(scan.paths, Prefixed(root(), {"a/a.jpg", "z/z.jpg"}));
    QCOMPARE(scan.reports, QStringList());
    QCOMPARE(Collect(root() + "/locked").paths, QStringList());
    FolderSet set{root() + u'/'};
    FolderScanHooks hooks;
    GetSubDirectories2016(set, true, hooks);
    QCOMPARE(set, Prefixed(root(), {"", "a/", "z/"}));
}

void TestFolderScan::linkLoopsEnd() {
    Make(root(), {"g.jpg", "a/f.jpg"});
    QVERIFY(QFile::link(QStringLiteral(".."), root() + "/a/up"));
    QVERIFY(QFile::link(QStringLiteral("."), root() + "/a/self"));
    QVERIFY(QFile::link(root(), root() + "/loop"));
    QCOMPARE(Collect(root()).paths, Prefixed(root(), {"g.jpg", "a/f.jpg"}));
}

void TestFolderScan::fifoIsNeverOpened() {
    Make(root(), {"a.jpg", "sub/"});
    for (const char* fifo : {"/pipe.jpg", "/sub/pipe"})
        QVERIFY(::mkfifo(QFile::encodeName(root() + fifo).constData(), 0644) == 0);
    // Opening a FIFO blocks until a writer comes, so a faulty scan would never return.
    std::promise<QStringList> done;
    std::future<QStringList> result = done.get_future();
    std::thread scan([&done, folder = root()] { done.set_value(Collect(folder).paths); });
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        scan.detach();
        QFAIL("the scan hangs on a FIFO");
    }
    scan.join();
    QCOMPARE(result.get(), Prefixed(root(), {"a.jpg"}));
}

void TestFolderScan::pathsAreCleaned() {
    Make(root(), {"a.jpg", "sub/b.jpg"});
    QCOMPARE(Collect(root() + "/").paths, Prefixed(root(), {"a.jpg", "sub/b.jpg"}));
}

void TestFolderScan::pseudoFileSystemsAreSkipped() {
    if (!IsOpenableFile(QStringLiteral("/proc/cpuinfo")) ||
        !IsFolder(QStringLiteral("/sys/kernel")))
        QSKIP("no kernel file systems mounted at /proc and /sys");
    FolderSet set{kSeparatorText};
    FolderScanHooks hooks;
    GetSubDirectories2016(set, false, hooks);
    QVERIFY(set.contains(QStringLiteral("/usr/")));
    QVERIFY(!set.contains(QStringLiteral("/proc/")));
    QVERIFY(!set.contains(QStringLiteral("/sys/")));
    QCOMPARE(Collect(QStringLiteral("/proc")).paths, QStringList());
}

void TestFolderScan::failingAppendIsReportedAndScanGoesOn() {
    Make(root(), {"a.jpg", "b.jpg", "sub/c.jpg"});
    QStringList offered;
    QStringList reports;
    FolderScanHooks hooks;
    hooks.report = [&](int step, const QString& text) {
        reports << QString::number(step) + u' ' + text;
    };
    CollectFolderFiles(
        root(), QStringLiteral("*.jpg"),
        [&](const QString& path) {
            offered << path;
            if (path.endsWith(QStringLiteral("/a.jpg")))
                throw Failure(QStringLiteral("List full"));
        },
        hooks);
    QCOMPARE(offered, Prefixed(root(), {"a.jpg", "sub/c.jpg"}));
    QCOMPARE(reports, QStringList{"2 List full"});
}

void TestFolderScan::isOpenableFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("openable");
    QTest::newRow("regular file") << "file.jpg" << true;
    QTest::newRow("link to a file") << "to-file" << true;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("link to a folder") << "to-folder" << false;
    QTest::newRow("FIFO") << "fifo" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("dangling link") << "dangling" << false;
}

void TestFolderScan::isOpenableFile() {
    QFETCH(QString, name);
    QFETCH(bool, openable);
    Make(root(), {"file.jpg", "folder/"});
    QVERIFY(::mkfifo(QFile::encodeName(root() + "/fifo").constData(), 0644) == 0);
    QVERIFY(QFile::link(root() + "/file.jpg", root() + "/to-file"));
    QVERIFY(QFile::link(root() + "/folder", root() + "/to-folder"));
    QVERIFY(QFile::link(root() + "/gone.jpg", root() + "/dangling"));
    QCOMPARE(IsOpenableFile(root() + u'/' + name), openable);
}

void TestFolderScan::hasUnsafeNameChars_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("unsafe");
    QTest::newRow("plain") << "ok.jpg" << false;
    QTest::newRow("accented") << "\u00e9t\u00e9.jpg" << false;
    QTest::newRow("no-break space, first after C1") << "a\u00a0b" << false;
    QTest::newRow("pair of halves") << QString::fromUtf8("\xf0\x9f\x99\x82.jpg") << false;
    QTest::newRow("control") << "a\x01" << true;
    QTest::newRow("tab") << "a\tb" << true;
    QTest::newRow("delete") << "a\x7f" << true;
    QTest::newRow("C1 first") << "a\u0080" << true;
    QTest::newRow("C1 next line") << "a\u0085" << true;
    QTest::newRow("C1 last") << "a\u009f" << true;
    QTest::newRow("question mark") << "a?.jpg" << true;
    QTest::newRow("invalid bytes") << QFile::decodeName("bad\xff") << true;
    QTest::newRow("lone half") << QString(QChar(0xd800)) << true;
}

void TestFolderScan::hasUnsafeNameChars() {
    QFETCH(QString, name);
    QFETCH(bool, unsafe);
    QCOMPARE(HasUnsafeNameChars(name), unsafe);
}

QTEST_GUILESS_MAIN(TestFolderScan)
#include "tst_folderscan.moc"
