// Reordering the image list by dragging: texts exchanged under the pointer, scrolling near the
// edges of the visible area, the pointers, and entries that leave the list during a drag.
#include "filelist/dragreorder.h"
#include "filelist/imagelist.h"
#include "support/paths.h"

#include <QFile>
#include <QImageWriter>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

class TestReorder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dragExchangesTexts_data();
    void dragExchangesTexts();
    void pressOnEmptySpaceMovesTheEntryClickedLast();
    void entryLeavingTheListEndsTheDrag_data();
    void entryLeavingTheListEndsTheDrag();
    void scrollNearTheEdges_data();
    void scrollNearTheEdges();
    void pointerBeyondTheEdges_data();
    void pointerBeyondTheEdges();
    void listPointer();
    void windowPointer_data();
    void windowPointer();

private:
    QTemporaryDir folder_;
    QWidget* window_ = nullptr;
    ImageFileList* list_ = nullptr;

    void fill(const QStringList& texts);
    void fillThirtyInFiveRows();
    int topRow() const;
    QStringList texts() const;
    QPoint centre(int position) const;
    QPoint emptySpace() const;
    void press(QPoint point, Qt::MouseButton button = Qt::LeftButton);
    void release(QPoint point, Qt::MouseButton button = Qt::LeftButton);
    void moveTo(QPoint point);
};

void TestReorder::initTestCase() {
    QVERIFY(folder_.isValid());
    qputenv("XDG_CONFIG_HOME", folder_.filePath(QStringLiteral("config")).toLocal8Bit());
    SetProgramFolderForTesting(folder_.path());
}

void TestReorder::init() {
    // A stand-in for the main window: the list, the reorder, and the window's busy mark.
    window_ = new QWidget;
    window_->resize(536, 300);
    list_ = new ImageFileList(window_);
    list_->setGeometry(8, 8, 520, 200);
    new ListReorder(list_, window_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
}

void TestReorder::cleanup() {
    // Mouse buttons that a test left held would go with the next test's moves.
    QTest::mouseRelease(list_->viewport(), Qt::LeftButton, {}, emptySpace());
    QTest::mouseRelease(list_->viewport(), Qt::RightButton, {}, emptySpace());
    delete window_;
    QFile::remove(folder_.filePath(QStringLiteral("drag.ico")));
}

void TestReorder::fill(const QStringList& texts) {
    for (const QString& text : texts)
        list_->append(text);
}

void TestReorder::fillThirtyInFiveRows() {
    for (int i = 1; i <= 30; ++i)
        list_->append(QStringLiteral("/image%1.png").arg(i));
    // A view exactly five entries high, so that edge rows are whole.
    const int rowHeight = list_->visualItemRect(list_->topLevelItem(0)).height();
    list_->setFixedHeight(list_->height() - list_->viewport()->height() + 5 * rowHeight);
    QCoreApplication::processEvents();
    QCOMPARE(list_->viewport()->height(), 5 * rowHeight);
}

int TestReorder::topRow() const {
    return list_->indexOfTopLevelItem(list_->itemAt(QPoint(1, 0))) + 1;
}

QStringList TestReorder::texts() const {
    QStringList result;
    for (int position = 1; position <= list_->count(); ++position)
        result << list_->textAt(position);
    return result;
}

QPoint TestReorder::centre(int position) const {
    return list_->visualItemRect(list_->topLevelItem(position - 1)).center();
}

QPoint TestReorder::emptySpace() const {
    return QPoint(20, list_->viewport()->height() - 3);
}

void TestReorder::press(QPoint point, Qt::MouseButton button) {
    QTest::mousePress(list_->viewport(), button, {}, point);
}

void TestReorder::release(QPoint point, Qt::MouseButton button) {
    QTest::mouseRelease(list_->viewport(), button, {}, point);
}

void TestReorder::moveTo(QPoint point) {
    QTest::mouseMove(list_->viewport(), point);
}

void TestReorder::dragExchangesTexts_data() {
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("pressed");
    QTest::addColumn<QList<int>>("moves"); // positions passed over; 0 is empty space
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("selected");

    const QStringList abcd{"/A.png", "/B.png", "/C.png", "/D.png"};
    QTest::newRow("down one entry at a time")
        << abcd << 1 << QList<int>{2, 3, 4} << QStringList{"/B.png", "/C.png", "/D.png", "/A.png"}
        << 4;
    QTest::newRow("jump from the first to the last")
        << abcd << 1 << QList<int>{4} << QStringList{"/D.png", "/B.png", "/C.png", "/A.png"} << 4;
    QTest::newRow("empty space below the entries") << abcd << 1 << QList<int>{0} << abcd << 1;
    QTest::newRow("same text, differing only in case, is exchanged")
        << QStringList{"/a.png", "/A.png"} << 1 << QList<int>{2} << QStringList{"/A.png", "/a.png"}
        << 2;
    QTest::newRow("same text stays")
        << QStringList{"/A.png", "/A.png", "/B.png"} << 1 << QList<int>{2}
        << QStringList{"/A.png", "/A.png", "/B.png"} << 1;
}

void TestReorder::dragExchangesTexts() {
    QFETCH(QStringList, entries);
    QFETCH(int, pressed);
    QFETCH(QList<int>, moves);
    QFETCH(QStringList, expected);
    QFETCH(int, selected);

    fill(entries);
    press(centre(pressed));
    for (const int position : moves)
        moveTo(position == 0 ? emptySpace() : centre(position));
    release(moves.last() == 0 ? emptySpace() : centre(moves.last()));
    QCOMPARE(texts(), expected);
    QCOMPARE(list_->selectedPosition(), selected);

    // Once released, the pointer passing over entries moves nothing.
    moveTo(centre(1));
    moveTo(centre(2));
    QCOMPARE(texts(), expected);
}

void TestReorder::pressOnEmptySpaceMovesTheEntryClickedLast() {
    fill({"/A.png", "/B.png", "/C.png", "/D.png"});
    press(centre(2));
    release(centre(2));
    press(emptySpace(), Qt::RightButton);
    moveTo(centre(4));
    QCOMPARE(texts(), (QStringList{"/A.png", "/D.png", "/C.png", "/B.png"}));
    QCOMPARE(list_->selectedPosition(), 4);
}

void TestReorder::entryLeavingTheListEndsTheDrag_data() {
    QTest::addColumn<QString>("removal");
    QTest::newRow("Delete key") << "delete";
    QTest::newRow("double-click") << "double-click";
    QTest::newRow("list cleared and filled again") << "clear";
}

void TestReorder::entryLeavingTheListEndsTheDrag() {
    QFETCH(QString, removal);
    fill({"/A.png", "/B.png", "/C.png", "/D.png"});
    press(centre(1));
    if (removal == "delete") {
        QTest::keyClick(list_, Qt::Key_Delete);
    } else if (removal == "double-click") {
        release(centre(1));
        QTest::mouseDClick(list_->viewport(), Qt::LeftButton, {}, centre(1));
        release(centre(1));
    } else {
        list_->clearEntries();
        fill({"/W.png", "/X.png", "/Y.png"});
    }
    const QStringList left = texts();
    QCOMPARE(left.size(), 3);

    // With the button held again, the entry that left cannot be carried over the others.
    press(emptySpace());
    for (int position = 1; position <= list_->count(); ++position)
        moveTo(centre(position));
    QCOMPARE(texts(), left);

    // A click on an entry starts a drag again.
    release(emptySpace());
    press(centre(1));
    moveTo(centre(2));
    QCOMPARE(texts(), (QStringList{left[1], left[0], left[2]}));
}

void TestReorder::scrollNearTheEdges_data() {
    QTest::addColumn<int>("topEntry"); // 0: scrolled to the end
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("from"); // the pressed entry, relative to the one under the pointer
    QTest::addColumn<bool>("sameText");
    QTest::addColumn<int>("scrolled"); // -1 up, 0 not at all, 1 down

    QTest::newRow("near the bottom") << 10 << "bottom" << -1 << false << 1;
    QTest::newRow("near the top") << 10 << "top" << 1 << false << -1;
    QTest::newRow("first entry at the top") << 1 << "top" << 1 << false << 0;
    QTest::newRow("last entry at the bottom") << 0 << "bottom" << -1 << false << 0;
    QTest::newRow("middle of the view") << 10 << "middle" << -1 << false << 0;
    QTest::newRow("same text near the bottom") << 10 << "bottom" << -1 << true << 0;
}

void TestReorder::scrollNearTheEdges() {
    QFETCH(int, topEntry);
    QFETCH(QString, where);
    QFETCH(int, from);
    QFETCH(bool, sameText);
    QFETCH(int, scrolled);

    fillThirtyInFiveRows();
    if (topEntry == 0)
        list_->scrollToBottom();
    else
        list_->scrollToItem(list_->topLevelItem(topEntry - 1), QAbstractItemView::PositionAtTop);

    const int height = list_->viewport()->height();
    const QPoint point(20, where == "top" ? 2 : where == "bottom" ? height - 2 : height / 2);
    const int target = list_->indexOfTopLevelItem(list_->itemAt(point)) + 1;
    QVERIFY(target >= 1);
    if (sameText)
        list_->replaceTextAt(target + from, list_->textAt(target));
    const QString moved = list_->textAt(target + from);
    const QString passed = list_->textAt(target);
    const int before = list_->verticalScrollBar()->value();

    press(centre(target + from));
    moveTo(point);
    release(point);

    QCOMPARE(list_->textAt(target), moved);
    QCOMPARE(list_->textAt(target + from), passed);
    const int after = list_->verticalScrollBar()->value();
    QCOMPARE((after > before) - (after < before), scrolled);
    if (scrolled != 0) {
        const QRect beyond = list_->visualItemRect(list_->topLevelItem(target + scrolled - 1));
        // Just enough to show it: it now lies along the edge.
        QCOMPARE(scrolled < 0 ? beyond.top() : beyond.bottom(),
                 scrolled < 0 ? 0 : list_->viewport()->rect().bottom());
    }
}

void TestReorder::pointerBeyondTheEdges_data() {
    QTest::addColumn<int>("topEntry");
    QTest::addColumn<int>("pressed");
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("distance");  // pixels beyond the list's edge
    QTest::addColumn<int>("direction"); // how the view scrolls: -1 up, 0 not at all, 1 down

    QTest::newRow("just below") << 1 << 1 << "below" << 4 << 1;
    QTest::newRow("far below") << 1 << 3 << "below" << 200 << 1;
    QTest::newRow("just above") << 20 << 24 << "above" << 1 << -1;
    QTest::newRow("beside the list") << 10 << 10 << "left" << 30 << 0;
}

void TestReorder::pointerBeyondTheEdges() {
    QFETCH(int, topEntry);
    QFETCH(int, pressed);
    QFETCH(QString, where);
    QFETCH(int, distance);
    QFETCH(int, direction);
    fillThirtyInFiveRows();
    list_->scrollToItem(list_->topLevelItem(topEntry - 1), QAbstractItemView::PositionAtTop);
    QCOMPARE(topRow(), topEntry);
    const int height = list_->viewport()->height();
    const QPoint point = where == "below"   ? QPoint(20, height - 1 + distance)
                         : where == "above" ? QPoint(20, -distance)
                                            : QPoint(-distance, height / 2);
    const QStringList before = texts();
    QList<int> tops;
    connect(list_->verticalScrollBar(), &QScrollBar::valueChanged, this, [&] { tops << topRow(); });

    press(centre(pressed));
    moveTo(point);
    // Held there, the view scrolls one entry at a time and no hidden entry is exchanged.
    QTest::qWait(4 * ListReorder::kEdgeScrollInterval);
    if (direction != 0)
        QTRY_VERIFY(tops.size() >= 3);
    for (qsizetype i = 0; i < tops.size(); ++i)
        QCOMPARE(tops[i], topEntry + direction * int(i + 1));
    QCOMPARE(texts(), before);

    // Back inside, the dragged entry is exchanged with the entry under the pointer.
    const int under = topRow() + 2;
    moveTo(centre(under));
    QCOMPARE(list_->textAt(under), before[pressed - 1]);
    QCOMPARE(list_->textAt(pressed), before[under - 1]);

    // Released beyond the edge, the view stops.
    moveTo(point);
    release(point);
    const int stopped = list_->verticalScrollBar()->value();
    QTest::qWait(3 * ListReorder::kEdgeScrollInterval);
    QCOMPARE(list_->verticalScrollBar()->value(), stopped);
}

void TestReorder::listPointer() {
    const QString file = folder_.filePath(QStringLiteral("drag.ico"));
    QImage picture(32, 32, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    QImageWriter writer(file, "ico");
    QVERIFY2(writer.write(picture), qPrintable(writer.errorString()));
    fill({"/A.png", "/B.png"});
    list_->setDragEnabled(true);

    press(centre(1));
    QCOMPARE(list_->viewport()->cursor().shape(), Qt::BitmapCursor);
    QCOMPARE(list_->viewport()->cursor().hotSpot(), QPoint(16, 16));
    QVERIFY(!list_->dragEnabled());
    QVERIFY(list_->acceptDrops());
    release(centre(1));
    QCOMPARE(list_->viewport()->cursor().shape(), Qt::ArrowCursor);

    // The file is read at every click: gone or damaged, the arrow shows.
    QVERIFY(QFile::remove(file));
    press(centre(2));
    QCOMPARE(list_->viewport()->cursor().shape(), Qt::ArrowCursor);
    release(centre(2));
    QFile damaged(file);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("not a picture");
    damaged.close();
    press(centre(1));
    QCOMPARE(list_->viewport()->cursor().shape(), Qt::ArrowCursor);
}

void TestReorder::windowPointer_data() {
    QTest::addColumn<Qt::CursorShape>("shown");
    QTest::addColumn<Qt::CursorShape>("expected");
    QTest::newRow("hand becomes the arrow") << Qt::PointingHandCursor << Qt::ArrowCursor;
    QTest::newRow("busy mark left alone") << Qt::WaitCursor << Qt::WaitCursor;
}

void TestReorder::windowPointer() {
    QFETCH(Qt::CursorShape, shown);
    QFETCH(Qt::CursorShape, expected);
    fill({"/A.png", "/B.png"});

    // Without a button held.
    window_->setCursor(shown);
    QMouseEvent hover(QEvent::MouseMove, QPointF(centre(2)),
                      list_->viewport()->mapToGlobal(centre(2)), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(list_->viewport(), &hover);
    QCOMPARE(window_->cursor().shape(), expected);
    QCOMPARE(texts(), (QStringList{"/A.png", "/B.png"}));

    // During a drag the exchange goes on whatever the window shows.
    window_->setCursor(shown);
    press(centre(1));
    moveTo(centre(2));
    QCOMPARE(window_->cursor().shape(), expected);
    QCOMPARE(texts(), (QStringList{"/B.png", "/A.png"}));
}

QTEST_MAIN(TestReorder)
#include "tst_reorder.moc"
