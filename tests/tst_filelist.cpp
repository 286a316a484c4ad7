// The image list: its presentation, removal by Delete and double-click, clearing and the busy
// mark that keeps the list still under a run; files and folders given at start ("Open with").
#include "filelist/addfiles.h"
#include "filelist/imagelist.h"
#include "support/failure.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImageReader>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestFileList : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void presentation();
    void appendReadReplace();
    void removalWithNothingToRemove();
    void deleteWithAnyModifierRemovesTheSelectedEntry_data();
    void deleteWithAnyModifierRemovesTheSelectedEntry();
    void doubleClickRemovesOnlyThatEntry();
    void nothingIsRemovedWhileBusy();
    void duplicatesAndMembership();
    void startPathsJoinAsADrop();
    void desktopEntryOffersWhatIsRead();

private:
    QWidget* window_ = nullptr;
    ImageFileList* list_ = nullptr;
    QPoint entryCentre(int position) const;
};

void TestFileList::init() {
    window_ = new QWidget;
    window_->resize(536, 300);
    list_ = new ImageFileList(window_);
    list_->setGeometry(8, 8, 520, 121);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
}

void TestFileList::cleanup() {
    delete window_;
    window_ = nullptr;
}

QPoint TestFileList::entryCentre(int position) const {
    return list_->visualItemRect(list_->topLevelItem(position - 1)).center();
}

void TestFileList::presentation() {
    QCOMPARE(list_->columnCount(), 1);
    QCOMPARE(list_->headerItem()->text(0), QStringLiteral("Image File(s)"));
    QCOMPARE(list_->columnWidth(0), 467); // 7000 twips
    QCOMPARE(list_->toolTip(),
             QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line "
                            "to right and out of window to reveal full names."));
    QCOMPARE(list_->font().family(), QStringLiteral("Arial"));
    QVERIFY(list_->font().bold());
    QCOMPARE(list_->font().pointSize(), 9);
    QVERIFY(list_->acceptDrops());
    QCOMPARE(list_->count(), 0);
}

void TestFileList::appendReadReplace() {
    list_->append(QStringLiteral("/a.png"));
    list_->append(QStringLiteral("/b.png"));
    QCOMPARE(list_->count(), 2);
    QCOMPARE(list_->textAt(2), QStringLiteral("/b.png"));
    list_->replaceTextAt(1, QStringLiteral("/c.png"));
    QCOMPARE(list_->textAt(1), QStringLiteral("/c.png"));
    QVERIFY_THROWS_EXCEPTION(Failure, list_->textAt(0));
    QVERIFY_THROWS_EXCEPTION(Failure, list_->textAt(3));
    QCOMPARE(list_->selectedPosition(), 0);
    list_->select(2);
    QCOMPARE(list_->selectedPosition(), 2);
}

void TestFileList::removalWithNothingToRemove() {
    QTest::keyClick(list_, Qt::Key_Delete);
    QTest::mouseDClick(list_->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
    QCOMPARE(list_->count(), 0);

    list_->append(QStringLiteral("/a.png"));
    list_->append(QStringLiteral("/b.png"));
    list_->setCurrentItem(nullptr);
    QTest::keyClick(list_, Qt::Key_Delete);
    QCOMPARE(list_->count(), 2);
}

void TestFileList::deleteWithAnyModifierRemovesTheSelectedEntry_data() {
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("alone") << Qt::KeyboardModifiers();
    QTest::newRow("shift") << Qt::KeyboardModifiers(Qt::ShiftModifier);
    QTest::newRow("ctrl") << Qt::KeyboardModifiers(Qt::ControlModifier);
    QTest::newRow("alt") << Qt::KeyboardModifiers(Qt::AltModifier);
}

void TestFileList::deleteWithAnyModifierRemovesTheSelectedEntry() {
    QFETCH(Qt::KeyboardModifiers, modifiers);
    for (const char* path : {"/a.png", "/b.png", "/c.png"})
        list_->append(QString::fromLatin1(path));
    list_->select(2);
    QTest::keyClick(list_, Qt::Key_Delete, modifiers);
    QCOMPARE(list_->count(), 2);
    QCOMPARE(list_->textAt(1), QStringLiteral("/a.png"));
    QCOMPARE(list_->textAt(2), QStringLiteral("/c.png"));
}

void TestFileList::doubleClickRemovesOnlyThatEntry() {
    for (const char* path : {"/a.png", "/b.png", "/c.png", "/d.png"})
        list_->append(QString::fromLatin1(path));
    QSignalSpy removed(list_, &ImageFileList::entriesRemoved);
    QTest::mouseClick(list_->viewport(), Qt::LeftButton, {}, entryCentre(2));
    QTest::mouseDClick(list_->viewport(), Qt::LeftButton, {}, entryCentre(2));
    QCOMPARE(list_->count(), 3);
    QCOMPARE(list_->textAt(2), QStringLiteral("/c.png"));
    QCOMPARE(list_->textAt(3), QStringLiteral("/d.png"));
    QCOMPARE(removed.count(), 1);
}

void TestFileList::nothingIsRemovedWhileBusy() {
    list_->append(QStringLiteral("/a.png"));
    list_->append(QStringLiteral("/b.png"));
    list_->select(1);
    window_->setCursor(Qt::WaitCursor);
    QTest::keyClick(list_, Qt::Key_Delete);
    QTest::mouseDClick(list_->viewport(), Qt::LeftButton, {}, entryCentre(1));
    list_->clearEntries();
    QCOMPARE(list_->count(), 2);

    window_->unsetCursor();
    list_->clearEntries();
    QCOMPARE(list_->count(), 0);
}

void TestFileList::duplicatesAndMembership() {
    list_->append(QStringLiteral("/pics/a.png"));
    list_->append(QStringLiteral("/pics/a.png"));
    QCOMPARE(list_->count(), 2);
    QVERIFY(list_->ListContainsPath(QStringLiteral("/pics/a.png")));
    QVERIFY(!list_->ListContainsPath(QStringLiteral("/pics/A.png")));
    QVERIFY(!list_->ListContainsPath(QStringLiteral("/pics//a.png")));
    QVERIFY(!list_->ListContainsPath(QStringLiteral("/pics/a.png ")));
    list_->select(1);
    list_->removeSelected();
    QCOMPARE(list_->count(), 1);
    QVERIFY(list_->ListContainsPath(QStringLiteral("/pics/a.png")));
}

void TestFileList::startPathsJoinAsADrop() {
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("sub")));
    for (const char* name : {"a.png", "sub/b.txt"}) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString started = QDir::currentPath();
    const auto restore = qScopeGuard([&] { QDir::setCurrent(started); });
    QVERIFY(QDir::setCurrent(folder.path()));

    // In the given order, a folder with its whole tree, a missing file as named, duplicates kept.
    AddStartPaths(*list_, {"a.png", "", folder.filePath("sub"), "missing.png", "a.png"}, nullptr);
    QStringList listed;
    for (int position = 1; position <= list_->count(); ++position)
        listed << list_->textAt(position);
    QCOMPARE(listed, (QStringList{folder.filePath("a.png"), folder.filePath("sub/b.txt"),
                                  folder.filePath("missing.png"), folder.filePath("a.png")}));
}

void TestFileList::desktopEntryOffersWhatIsRead() {
    QFile entry(QStringLiteral(TINTOREL_TEST_DATA "/../../assets/tintorel.desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList exec, types;
    for (const QByteArray& line : entry.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            exec = QString::fromUtf8(line.mid(5)).split(u' ');
        if (line.startsWith("MimeType="))
            types = QString::fromUtf8(line.mid(9)).split(u';', Qt::SkipEmptyParts);
    }
    // The file manager hands over local paths, any number of them.
    QCOMPARE(exec, (QStringList{"tintorel", "%F"}));
    // Every picture type of the open dialog's filter, and none that cannot be read.
    for (const char* type : {"image/bmp", "image/gif", "image/jpeg", "image/png", "image/tiff"})
        QVERIFY2(types.contains(QLatin1String(type)), type);
    const QList<QByteArray> readable = QImageReader::supportedMimeTypes();
    for (const QString& type : std::as_const(types))
        QVERIFY2(readable.contains(type.toLatin1()), qPrintable(type));
}

QTEST_MAIN(TestFileList)
#include "tst_filelist.moc"
