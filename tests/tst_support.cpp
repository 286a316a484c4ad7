#include "support/errorreport.h"
#include "support/failure.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/testkit.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <new>
#include <stdexcept>

class TestSupport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void fileAndFolderOfPath_data();
    void fileAndFolderOfPath();
    void cleanPath_data();
    void cleanPath();
    void pathQueries_data();
    void pathQueries();
    void desktopFolderPath_data();
    void desktopFolderPath();
    void defaultOutputFolder_data();
    void defaultOutputFolder();

    void errorReportText_data();
    void errorReportText();
    void reportErrorShowsWarningBox();
    void guardReportsFailedStepAndGoesOn_data();
    void guardReportsFailedStepAndGoesOn();
    void guardTestThatRaisesCountsAsPassed();

    void shortTitleOf_data();
    void shortTitleOf();
    void imagingRuntimeStarts();
    void imagingStartFailureIsReportedOnce();

    void readingEmptyStoreWritesNothing();
    void settingRoundTrip_data();
    void settingRoundTrip();
    void settingsFileLayout();
    void settingAsIndex_data();
    void settingAsIndex();

private:
    QString settingsFile() const { return config_.path() + QStringLiteral("/Varnholt.conf"); }

    QTemporaryDir config_;
    QTemporaryDir files_;
};

void TestSupport::initTestCase() {
    // Before the first QSettings: it fixes its folders once per process.
    QVERIFY(config_.isValid() && files_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
}

void TestSupport::fileAndFolderOfPath_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("folder");
    // clang-format off
    QTest::newRow("absolute file") << "/a/b.jpg" << "b.jpg" << "/a/";
    QTest::newRow("bare name") << "b.jpg" << "b.jpg" << "";
    QTest::newRow("folder") << "/a/" << "" << "/a/";
    QTest::newRow("root") << "/" << "" << "/";
    QTest::newRow("empty") << "" << "" << "";
    // clang-format on
}

void TestSupport::fileAndFolderOfPath() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, folder);
    QCOMPARE(FileNameOfPath(path), name);
    QCOMPARE(FolderOfPath(path), folder);
}

void TestSupport::cleanPath_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("clean");
    // clang-format off
    QTest::newRow("joined pair") << "/pics//x.png" << "/pics/x.png";
    QTest::newRow("four become two") << "a////x" << "a//x";
    QTest::newRow("three become two") << "a///x" << "a//x";
    QTest::newRow("relative pair") << "rel//x" << "rel/x";
    QTest::newRow("several pairs") << "a//b//c" << "a/b/c";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("leading four") << "////server//share" << "/server/share";
    QTest::newRow("leading two") << "//server/share" << "/server/share";
    QTest::newRow("leading one") << "/folder/x" << "/folder/x";
    QTest::newRow("root") << "/" << "/";
    // clang-format on
}

void TestSupport::cleanPath() {
    QFETCH(QString, path);
    QFETCH(QString, clean);
    QCOMPARE(CleanPath(path), clean);
}

void TestSupport::pathQueries_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("folder");
    QDir(files_.path()).mkdir(QStringLiteral("sub folder"));
    QFile file(files_.filePath(QStringLiteral("file.jpg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    // clang-format off
    QTest::newRow("file") << file.fileName() << true << false;
    QTest::newRow("folder") << files_.filePath(QStringLiteral("sub folder")) << true << true;
    QTest::newRow("missing") << files_.filePath(QStringLiteral("missing.jpg")) << false << false;
    QTest::newRow("empty") << QString() << false << false;
    // clang-format on
}

void TestSupport::pathQueries() {
    QFETCH(QString, path);
    QFETCH(bool, exists);
    QFETCH(bool, folder);
    QCOMPARE(PathExists(path), exists);
    QCOMPARE(IsFolder(path), folder);
}

void TestSupport::desktopFolderPath_data() {
    QTest::addColumn<QByteArray>("userDirsEntry"); // the Desktop line of user-dirs.dirs, if any
    QTest::addColumn<QString>("underHome");
    // clang-format off
    QTest::newRow("default") << QByteArray() << "/Desktop/";
    QTest::newRow("user folder") << QByteArray("\"$HOME/Desk\"") << "/Desk/";
    QTest::newRow("user folder with separator") << QByteArray("\"$HOME/Desk/\"") << "/Desk/";
    // clang-format on
}

void TestSupport::desktopFolderPath() {
    QFETCH(QByteArray, userDirsEntry);
    QFETCH(QString, underHome);
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    QFile userDirs(config_.filePath(QStringLiteral("user-dirs.dirs")));
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", oldHome);
        userDirs.remove();
    });
    qputenv("HOME", QFile::encodeName(home.path()));
    if (!userDirsEntry.isEmpty()) {
        QVERIFY(userDirs.open(QIODevice::WriteOnly));
        userDirs.write("XDG_DESKTOP_DIR=" + userDirsEntry + "\n");
        userDirs.close();
    }
    QCOMPARE(DesktopFolderPath(), home.path() + underHome);
}

void TestSupport::defaultOutputFolder_data() {
    QTest::addColumn<QByteArray>("userDirs"); // the lines of user-dirs.dirs, if any
    QTest::addColumn<QStringList>("existing"); // folders made under home; "x=file" makes a file
    QTest::addColumn<QString>("underHome");
    // clang-format off
    QTest::newRow("desktop") << QByteArray() << QStringList{"Desktop", "Pictures"} << "/Desktop/";
    QTest::newRow("no desktop: pictures") << QByteArray() << QStringList{"Pictures"} << "/Pictures/";
    QTest::newRow("neither: home") << QByteArray() << QStringList{} << "/";
    QTest::newRow("desktop is a file") << QByteArray() << QStringList{"Desktop=file"} << "/";
    QTest::newRow("user folders")
        << QByteArray("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n")
        << QStringList{"Desktop", "Schreibtisch", "Bilder"} << "/Schreibtisch/";
    QTest::newRow("user desktop missing: user pictures")
        << QByteArray("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n")
        << QStringList{"Desktop", "Pictures", "Bilder"} << "/Bilder/";
    // clang-format on
}

void TestSupport::defaultOutputFolder() {
    QFETCH(QByteArray, userDirs);
    QFETCH(QStringList, existing);
    QFETCH(QString, underHome);
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    QFile userDirsFile(config_.filePath(QStringLiteral("user-dirs.dirs")));
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", oldHome);
        userDirsFile.remove();
    });
    qputenv("HOME", QFile::encodeName(home.path()));
    if (!userDirs.isEmpty()) {
        QVERIFY(userDirsFile.open(QIODevice::WriteOnly));
        userDirsFile.write(userDirs);
        userDirsFile.close();
    }
    for (const QString& name : existing) {
        if (name.endsWith(QStringLiteral("=file"))) {
            QFile file(home.filePath(name.section(u'=', 0, 0)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir(home.path()).mkdir(name));
        }
    }
    QCOMPARE(DefaultOutputFolder(), home.path() + underHome);
}

void TestSupport::errorReportText_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("text");
    const QString tail =
        QStringLiteral("\r\rPlease email screenshot of this message to ") + kSupportAddress;
    // clang-format off
    QTest::newRow("form load")
        << "Permission denied" << ErrorLocation::Form1Load << 120
        << "Permission denied\r\nin Pelliton2021/08/31.Form1.Form_Load at line 120" + tail;
    QTest::newRow("folder tree")
        << "No such file or directory" << ErrorLocation::FolderTree << 3
        << "No such file or directory\r\n"
           "in DorvanTitle2021/08/31.AddFolder.GetSubDirectories2016 at line 3" + tail;
    // clang-format on
}

void TestSupport::errorReportText() {
    QFETCH(QString, description);
    QFETCH(QString, location);
    QFETCH(int, step);
    QFETCH(QString, text);
    QCOMPARE(ErrorReportText(description, location, step), text);
}

void TestSupport::reportErrorShowsWarningBox() {
    ScriptedPrompter prompter;
    ReportError(prompter, ErrorLocation::Form1Load, 120, QStringLiteral("Permission denied"));
    QCOMPARE(prompter.shown.size(), 1);
    const ScriptedPrompter::Shown& box = prompter.shown.first();
    QCOMPARE(box.kind, QStringLiteral("message"));
    QCOMPARE(box.text,
             ErrorReportText(QStringLiteral("Permission denied"), ErrorLocation::Form1Load, 120));
    QCOMPARE(box.title, QStringLiteral("Application Error"));
    QCOMPARE(box.icon, Prompter::Icon::Warning);
}

void TestSupport::guardReportsFailedStepAndGoesOn_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("description");
    QTest::newRow("failure") << 0 << "Disk full";
    QTest::newRow("std::exception") << 1 << "vector too long";
    QTest::newRow("out of memory") << 2 << SystemErrorText(ENOMEM);
}

void TestSupport::guardReportsFailedStepAndGoesOn() {
    QFETCH(int, kind);
    QFETCH(QString, description);
    ScriptedPrompter prompter;
    Guard guard(prompter, ErrorLocation::StartRun);
    QList<int> ran;
    QList<bool> results;
    for (int number = 1; number <= 4; ++number)
        results << guard.step(number, [&] {
            ran << number;
            if (number != 2)
                return;
            if (kind == 0)
                throw Failure(description);
            if (kind == 1)
                throw std::length_error(description.toStdString());
            throw std::bad_alloc();
        });
    QCOMPARE(ran, (QList<int>{1, 2, 3, 4}));
    QCOMPARE(results, (QList<bool>{true, false, true, true}));
    QCOMPARE(guard.failures(), 1);
    QCOMPARE(prompter.messages(),
             QStringList{ErrorReportText(description, ErrorLocation::StartRun, 2)});
}

void TestSupport::guardTestThatRaisesCountsAsPassed() {
    int reports = 0;
    Guard guard([&](int, const QString&) { ++reports; });
    bool guardedRan = false;
    if (guard.test(5, []() -> bool { throw Failure(QStringLiteral("Type mismatch")); }))
        guard.step(6, [&] { guardedRan = true; });
    QVERIFY(guardedRan);
    QCOMPARE(reports, 1);
}

void TestSupport::shortTitleOf_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    // clang-format off
    QTest::newRow("one word") << "Tintorel" << "Tintorel";
    QTest::newRow("one long word") << "TintorelBatchWatermarkStamperForLinuxDesktops"
                                   << "TintorelBatchWatermarkStamperForLinuxDesktops";
    QTest::newRow("short name") << "Tintorel Watermark Studio" << "Tintorel Watermark";
    QTest::newRow("fits whole") << "Tintorel Batch Watermark Stamper Pro"
                                << "Tintorel Batch Watermark Stamper";
    QTest::newRow("first cut leaves 40") << "Tintorel Batch Watermark Stamper Suite X Tail"
                                         << "Tintorel Batch Watermark Stamper Suite X";
    QTest::newRow("first cut leaves 41") << "Tintorel Batch Watermark Stamper Suite XY Tail"
                                         << "Tintorel Batch Watermark Stamper Suite";
    QTest::newRow("several cuts") << "Tintorel Batch Watermark Stamper For Linux Desktops And More"
                                  << "Tintorel Batch Watermark Stamper For";
    // clang-format on
}

void TestSupport::shortTitleOf() {
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(ShortTitleOf(name), title);
}

void TestSupport::imagingRuntimeStarts() {
    QCOMPARE(ImagingRuntime::MissingCodecs(), QStringList());
    ImagingRuntime::SetProbeForTesting({});
    ScriptedPrompter prompter;
    StartImaging(prompter);
    QVERIFY(ImagingRuntime::IsStarted());
    QVERIFY(!GdiplusStartFailed());
    QCOMPARE(prompter.shown.size(), 0);
    StopImaging();
}

void TestSupport::imagingStartFailureIsReportedOnce() {
    const auto restore = qScopeGuard([] { ImagingRuntime::SetProbeForTesting({}); });
    ImagingRuntime::SetProbeForTesting([] { return false; });
    SetShortTitle();
    ScriptedPrompter prompter;
    StartImaging(prompter);
    QVERIFY(GdiplusStartFailed());
    QVERIFY(!ImagingRuntime::IsStarted());
    QCOMPARE(prompter.shown.size(), 1);
    const ScriptedPrompter::Shown& box = prompter.shown.first();
    QCOMPARE(box.kind, QStringLiteral("message"));
    QCOMPARE(box.text, QStringLiteral("GDI+ Initialisation Failed."));
    QCOMPARE(box.title, QStringLiteral("Tintorel"));
    QCOMPARE(box.icon, Prompter::Icon::None);
}

void TestSupport::readingEmptyStoreWritesNothing() {
    const QString name = QStringLiteral("NeverStored");
    const bool existed = QFile::exists(settingsFile());
    QCOMPARE(GetSetting(name, QStringLiteral("fallback")), QStringLiteral("fallback"));
    QCOMPARE(GetSetting(name), QString());
    QVERIFY(!HasSetting(name));
    QCOMPARE(QFile::exists(settingsFile()), existed);
}

void TestSupport::settingRoundTrip_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    // clang-format off
    QTest::newRow("empty text") << SettingKey::OutputFolder << "";
    QTest::newRow("spaces and non-ASCII") << SettingKey::LastScanFolder
                                          << QStringLiteral("/home/zoë/Mes images/été 2021/写真/");
    QTest::newRow("comma") << SettingKey::LastOutputPickerFolder << "/pics/a, b/";
    QTest::newRow("outer spaces") << SettingKey::Extension << "  _wm  ";
    QTest::newRow("key with space") << SettingKey::SaveOption << "1";
    // clang-format on
}

void TestSupport::settingRoundTrip() {
    QFETCH(QString, name);
    QFETCH(QString, value);
    SaveSetting(name, value);
    QVERIFY(HasSetting(name));
    QCOMPARE(GetSetting(name, QStringLiteral("fallback")), value);
}

void TestSupport::settingsFileLayout() {
    SaveSetting(SettingKey::Placement, QStringLiteral("8"));
    QFile file(settingsFile());
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.fileName()));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const qsizetype group = lines.indexOf(QStringLiteral("[Tintorel]"));
    QVERIFY(group >= 0);
    QVERIFY(lines.indexOf(QStringLiteral("Combo1=8")) > group);
}

void TestSupport::settingAsIndex_data() {
    QTest::addColumn<QString>("stored"); // null: nothing stored
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("raises");
    // clang-format off
    QTest::newRow("number") << "8" << 8 << false;
    QTest::newRow("missing") << QString() << 3 << false;
    QTest::newRow("negative") << "-1" << -1 << false;
    QTest::newRow("16-bit limit") << "32767" << 32767 << false;
    QTest::newRow("text") << "abc" << 0 << true;
    QTest::newRow("outside 16 bits") << "70000" << 0 << true;
    QTest::newRow("just below 16 bits") << "-32769" << 0 << true;
    // clang-format on
}

void TestSupport::settingAsIndex() {
    QFETCH(QString, stored);
    QFETCH(int, expected);
    QFETCH(bool, raises);
    const QString name = QStringLiteral("Index ") + QLatin1String(QTest::currentDataTag());
    if (!stored.isNull())
        SaveSetting(name, stored);
    if (raises)
        QVERIFY_THROWS_EXCEPTION(Failure, SettingAsIndex(name, 3));
    else
        QCOMPARE(SettingAsIndex(name, 3), expected);
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
