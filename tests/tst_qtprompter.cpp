// The real open dialog behind the prompt interface, driven through its name field as a user
// types: typed names of files that do not exist are taken as typed.
#include "app/qtprompter.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestQtPrompter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void typedNames_data();
    void typedNames();
    void boxesShowTextsAsWritten_data();
    void boxesShowTextsAsWritten();

private:
    QTemporaryDir folder_;
};

namespace {
// Whatever box is still open a moment later (the dialog, or a box it opened) is closed and noted,
// so that a test never waits on one.
class BoxCloser : public QObject {
public:
    BoxCloser() {
        timer_.callOnTimeout(this, [this] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                closed = true;
                box->close();
            }
        });
        timer_.start(300);
    }
    bool closed = false;

private:
    QTimer timer_;
};

// Types the text into the name field of the open dialog that is about to show and presses Return.
void TypeIntoNextDialog(const QString& text) {
    QTimer::singleShot(0, [text] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(text);
        QTest::keyClick(name, Qt::Key_Return);
    });
}
} // namespace

void TestQtPrompter::initTestCase() {
    QVERIFY(folder_.isValid());
    QFile existing(folder_.filePath(QStringLiteral("there.png")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    QVERIFY(QDir(folder_.path()).mkdir(QStringLiteral("sub")));
}

void TestQtPrompter::typedNames_data() {
    QTest::addColumn<bool>("multiple");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("expected"); // under the dialog's folder
    QTest::addColumn<bool>("stayedOpen");

    QTest::newRow("several: one missing")
        << true << "later.png" << QStringList{"later.png"} << false;
    QTest::newRow("several: two missing")
        << true << "\"new.png\" \"later.png\"" << QStringList{"new.png", "later.png"} << false;
    QTest::newRow("several: in a missing folder")
        << true << "none/x.png" << QStringList{"none/x.png"} << false;
    QTest::newRow("several: existing") << true << "there.png" << QStringList{"there.png"} << false;
    QTest::newRow("one: missing") << false << "later.png" << QStringList{"later.png"} << false;
    QTest::newRow("several: a folder opens in the dialog")
        << true << "sub" << QStringList{} << true;
}

void TestQtPrompter::typedNames() {
    QFETCH(bool, multiple);
    QFETCH(QString, typed);
    QFETCH(QStringList, expected);
    QFETCH(bool, stayedOpen);
    QtPrompter prompter;
    BoxCloser closer;
    TypeIntoNextDialog(typed);
    const QStringList chosen = prompter.chooseOpenFiles(
        QStringLiteral("Add"), QStringLiteral("All Pictures (*.png)"), folder_.path(), multiple);
    QStringList paths;
    for (const QString& name : expected)
        paths << folder_.filePath(name);
    QCOMPARE(chosen, paths);
    QCOMPARE(closer.closed, stayedOpen);
}

void TestQtPrompter::boxesShowTextsAsWritten_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("message") << "message";
    QTest::newRow("question") << "question";
    QTest::newRow("text prompt") << "text";
}

void TestQtPrompter::boxesShowTextsAsWritten() {
    // A file name that reads as markup is shown as its own characters, in every kind of box.
    QFETCH(QString, kind);
    const QString text = QStringLiteral("/photos/<b>BIG<i>x.jpg: damaged");
    QtPrompter prompter;
    BoxCloser closer;
    bool plain = false;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        QVERIFY(box);
        for (const QLabel* label : box->findChildren<QLabel*>())
            if (label->text() == text)
                plain = label->textFormat() == Qt::PlainText;
        box->close();
    });
    if (kind == QLatin1String("message"))
        prompter.showMessage(text, QStringLiteral("Tintorel"), Prompter::Icon::Warning);
    else if (kind == QLatin1String("question"))
        QVERIFY(!prompter.askYesNo(text, QStringLiteral("Tintorel")));
    else
        QVERIFY(!prompter.askText(QStringLiteral("Tintorel"), text, QString()));
    QVERIFY(plain);
}

QTEST_MAIN(TestQtPrompter)
#include "tst_qtprompter.moc"
