// The main window: its layout, the start-up sequence with the stored choices, the failed imaging
// start, the appearance and pointer rules, and the close.
#include "app/appearance.h"
#include "app/form1.h"
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/colorswatch.h"
#include "options/moreoptions.h"
#include "options/optionspanel.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/windowkit.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

class TestApp : public WindowTest {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void layout_data();
    void layout();
    void firstStartWithAnEmptyStore();
    void storedChoicesAreRestored_data();
    void storedChoicesAreRestored();
    void outputFolderRestoredEvenWhenItNamesNoFolder();
    void failedImagingStartRefusesOnlyTheRun();
    void homePageOneStartInAHundred_data();
    void homePageOneStartInAHundred();
    void tabOrder_data();
    void tabOrder();
    void everyControlHasANameAScreenReaderReads();
    void keysPressTheButtons();

    void whiteWithoutSkinFaceColourWithIt();
    void darkDesktopKeepsTextReadable();
    void windowFitsTheScreen_data();
    void windowFitsTheScreen();
    void pointerRules();
    void listHandlersAndClear();
    void closeEndsEverything();

private:
    Form1* loadForm() { return &start(); }

    std::unique_ptr<QTemporaryDir> home_;
};

void TestApp::init() {
    home_ = std::make_unique<QTemporaryDir>();
    qputenv("HOME", home_->path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home_->path() + "/config").toLocal8Bit());
    SetProgramFolderForTesting(home_->path() + "/program");
    QDir().mkpath(home_->path() + "/program");
    ImagingRuntime::SetProbeForTesting(nullptr);
}

void TestApp::cleanup() {
    stop();
    SetProgramFolderForTesting(QString());
}

void TestApp::layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry"); // pixels, at 15 twips per pixel
    QTest::addColumn<QString>("caption");
    QTest::newRow("list") << "ListView1" << QRect(8, 8, 520, 121) << "";
    QTest::newRow("add files") << "PushButton1" << QRect(8, 135, 256, 27) << "Add Image File(s)";
    QTest::newRow("add folder") << "PushButton3" << QRect(272, 135, 256, 27)
                                << "Add All File(s) In Folder";
    QTest::newRow("clear") << "PushButton7" << QRect(8, 169, 256, 27) << "Clear List";
    QTest::newRow("samples") << "PushButton8" << QRect(272, 169, 256, 27)
                             << "Load Sample/Example Files";
    QTest::newRow("watermark frame") << "Frame4" << QRect(8, 202, 520, 53)
                                     << "Watermark Image To Stamp On Top Of Image(s) Above";
    QTest::newRow("watermark path") << "Text1" << QRect(16, 20, 441, 23) << "";
    QTest::newRow("watermark button") << "PushButton4" << QRect(464, 20, 40, 23) << "...";
    QTest::newRow("colour frame") << "Frame3" << QRect(8, 258, 520, 61) << "Transparent Color";
    QTest::newRow("swatch") << "pColor" << QRect(16, 20, 360, 27) << "";
    QTest::newRow("advice") << "PushButton6" << QRect(384, 20, 120, 27) << "What's This?";
    QTest::newRow("placement frame") << "Frame2" << QRect(8, 322, 520, 53) << "Watermark Placement";
    QTest::newRow("format frame") << "Frame6" << QRect(8, 378, 520, 53) << "Output Format";
    QTest::newRow("automatic") << "Option1_0" << QRect(16, 23, 89, 17) << "Automatic";
    QTest::newRow("jpg") << "Option1_1" << QRect(120, 24, 65, 17) << "JPG";
    QTest::newRow("bmp") << "Option1_2" << QRect(192, 24, 65, 17) << "BMP";
    QTest::newRow("png") << "Option1_3" << QRect(264, 24, 65, 17) << "PNG";
    QTest::newRow("more options") << "MoreOptions" << QRect(352, 19, 152, 25) << "More Options...";
    QTest::newRow("folder frame") << "Frame5" << QRect(8, 434, 520, 54)
                                  << "Save Results To This Folder";
    QTest::newRow("output folder") << "Text2" << QRect(16, 20, 442, 23) << "";
    QTest::newRow("folder button") << "PushButton9" << QRect(464, 20, 40, 23) << "...";
    QTest::newRow("preview") << "PushButton5" << QRect(8, 496, 520, 27)
                             << "*Preview (How Watermark Will Look On Image)";
    QTest::newRow("start") << "PushButton2" << QRect(8, 531, 520, 27) << "Start Applying Watermark";
    QTest::newRow("progress") << "ProgressBar1" << QRect(8, 566, 520, 27) << "Progress Bar";
}

void TestApp::layout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    const auto form = loadForm();
    QCOMPARE(form->size(), QSize(536, 601));
    QCOMPARE(form->windowTitle(), QStringLiteral("Tintorel"));
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    QWidget* control = form->findChild<QWidget*>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->geometry(), geometry);
    if (auto* button = qobject_cast<QPushButton*>(control)) {
        // The caption as designed, with the letter that Alt presses it with marked.
        QCOMPARE(button->text().remove(QLatin1Char('&')), caption);
        QCOMPARE(button->font().pointSizeF(), 11.25);
        QVERIFY(button->font().bold());
    } else if (auto* frame = qobject_cast<QGroupBox*>(control)) {
        QCOMPARE(frame->title(), caption);
    } else if (auto* option = qobject_cast<QRadioButton*>(control)) {
        QCOMPARE(option->text(), caption);
    } else if (auto* bar = qobject_cast<QProgressBar*>(control)) {
        QCOMPARE(bar->text(), caption);
        QCOMPARE(bar->value(), 0);
    }
}

void TestApp::firstStartWithAnEmptyStore() {
    // A desktop without a Desktop folder: the first start offers the pictures folder instead.
    QVERIFY(QDir(home_->path()).mkdir("Pictures"));
    const auto form = loadForm();
    QVERIFY(prompter_->shown.isEmpty());
    QCOMPARE(form->options->Combo1->count(), 9);
    QCOMPARE(form->options->Combo1->currentIndex(), 0);
    QCOMPARE(form->options->Combo1->currentText(),
             QStringLiteral(" Put watermark in the upper-left portion of the image"));
    QVERIFY(form->options->Option1[0]->isChecked());
    QCOMPARE(form->options->Text2->text(), home_->path() + "/Pictures/");
    QVERIFY(form->options->Text1->text().isEmpty());
    QCOMPARE(form->options->pColor->color(), kWhite);
    QCOMPARE(GetSetting(SettingKey::OutputFolder), home_->path() + "/Pictures/");
    QVERIFY(!HasSetting(SettingKey::Placement));
    QVERIFY(!HasSetting(SettingKey::SaveOption));
    QVERIFY(form->existingForm2());
    QVERIFY(!form->existingForm2()->isVisible());
}

void TestApp::storedChoicesAreRestored_data() {
    QTest::addColumn<QString>("placement");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("placementIndex");
    QTest::addColumn<int>("formatIndex");
    QTest::addColumn<QList<int>>("failedSteps");
    QTest::newRow("bottom-right and BMP") << "8"
                                          << "2" << 8 << 2 << QList<int>{};
    QTest::newRow("placement 9 names no entry") << "9"
                                                << "1" << -1 << 1 << QList<int>{90};
    QTest::newRow("not numbers") << "x"
                                 << "PNG" << -1 << 0 << QList<int>{90, 110};
    QTest::newRow("format 4 names no button") << "3"
                                              << "4" << 3 << 0 << QList<int>{110};
}

void TestApp::storedChoicesAreRestored() {
    QFETCH(QString, placement);
    QFETCH(QString, format);
    QFETCH(int, placementIndex);
    QFETCH(int, formatIndex);
    QFETCH(QList<int>, failedSteps);
    SaveSetting(SettingKey::Placement, placement);
    SaveSetting(SettingKey::SaveOption, format);

    const auto form = loadForm();

    QCOMPARE(form->options->Combo1->currentIndex(), placementIndex);
    QCOMPARE(form->options->Option1Group->checkedId(), formatIndex);
    QStringList expected;
    for (int step : failedSteps)
        expected << ErrorLocation::Form1Load + "at line " + QString::number(step);
    QStringList reported;
    for (const auto& shown : prompter_->shown) {
        QCOMPARE(shown.title, kErrorReportTitle);
        reported << shown.text.section("\r\n", 1).section("\r\r", 0, 0);
    }
    QCOMPARE(reported, expected);
    // A restore that failed writes nothing back.
    QCOMPARE(GetSetting(SettingKey::Placement), placement);
}

void TestApp::outputFolderRestoredEvenWhenItNamesNoFolder() {
    SaveSetting(SettingKey::OutputFolder, "/no/such/folder");
    const auto form = loadForm();
    QCOMPARE(form->options->Text2->text(), QStringLiteral("/no/such/folder"));
    QVERIFY(prompter_->shown.isEmpty());
}

void TestApp::failedImagingStartRefusesOnlyTheRun() {
    ImagingRuntime::SetProbeForTesting([] { return false; });
    const auto form = loadForm();
    QCOMPARE(prompter_->messages(), QStringList{"GDI+ Initialisation Failed."});
    QVERIFY(GdiplusStartFailed());

    const QString mark = home_->path() + "/mark.png";
    WriteImage(SolidImage(4, 4, qRgb(0, 0, 0)), mark, "png");
    form->ListView1->append(mark);
    form->options->Text1->setText(mark);
    form->options->Text2->setText(home_->path());
    prompter_->clear();
    form->PushButton2_Click();
    QCOMPARE(prompter_->messages(), QStringList{kImagingNotStartedMessage});
    QCOMPARE(QDir(home_->path()).entryList(QDir::Files), QStringList{"mark.png"});

    // The list still works.
    form->ListView1->select(1);
    form->ListView1->removeSelected();
    QCOMPARE(form->ListView1->count(), 0);
    ImagingRuntime::SetProbeForTesting(nullptr);
}

void TestApp::homePageOneStartInAHundred_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("draw");
    QTest::addColumn<bool>("opened");
    const QString page = QStringLiteral("https://tintorel.example.org/");
    for (const int draw : {1, 6, 8, 100})
        QTest::addRow("draw %d", draw) << page << draw << false;
    QTest::newRow("draw 7") << page << 7 << true;
    QTest::newRow("draw 7, no address built in") << QString() << 7 << false;
}

void TestApp::homePageOneStartInAHundred() {
    QFETCH(QString, address);
    QFETCH(int, draw);
    QFETCH(bool, opened);
    Form1& form = create(draw);
    form.homePage = QUrl(address);
    form.Form_Load();
    QCOMPARE(opened_, opened ? QList<QUrl>{QUrl(address)} : QList<QUrl>{});
}

void TestApp::tabOrder_data() {
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("forward") << Qt::KeyboardModifiers();
    QTest::newRow("backward") << Qt::KeyboardModifiers(Qt::ShiftModifier);
}

void TestApp::tabOrder() {
    QFETCH(Qt::KeyboardModifiers, modifiers);
    const auto form = loadForm();
    form->show();
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form));
    // The four format buttons are one stop, entered at the near end; the arrow keys move within.
    // The order the window is drawn in, top to bottom and left to right.
    QStringList expected = {"PushButton1", "PushButton3", "PushButton7", "PushButton8",
                            "Text1",       "PushButton4", "pColor",      "PushButton6",
                            "Combo1",      "Option1_0",   "MoreOptions", "Text2",
                            "PushButton9", "PushButton5", "PushButton2"};
    if (modifiers & Qt::ShiftModifier) {
        std::reverse(expected.begin(), expected.end());
        expected.replace(expected.indexOf("Option1_0"), "Option1_3");
    }
    expected << "ListView1";

    form->ListView1->setFocus();
    QStringList visited;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, modifiers);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);
}

void TestApp::everyControlHasANameAScreenReaderReads() {
    // What AT-SPI reads out is the accessible interface's name: a caption of "..." or none at
    // all tells a listener nothing.
    const auto form = loadForm();
    form->show();
    // The "More Options" dialog's controls too, on every page.
    form->options->MoreOptions_Click();
    QWidget* dialog = form->options->moreOptionsDialog();
    QVERIFY(dialog);
    QStringList silent;
    for (QWidget* widget : form->findChildren<QWidget*>() + dialog->findChildren<QWidget*>()) {
        // A box's own line edit is the box for a screen reader.
        if (qobject_cast<QAbstractSpinBox*>(widget->parent()) ||
            qobject_cast<QComboBox*>(widget->parent()))
            continue;
        // The progress bar takes no focus but is read out all the same.
        const bool readOut =
            (widget->focusPolicy() & Qt::TabFocus) || qobject_cast<QProgressBar*>(widget);
        if (!readOut || !(widget->isVisibleTo(form) || widget->window() == dialog))
            continue;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        const QString name =
            accessible ? accessible->text(QAccessible::Name).remove('&') : QString();
        if (name.trimmed().isEmpty() || name == QLatin1String("..."))
            silent << widget->objectName() + " (" + widget->metaObject()->className() + ")";
    }
    QCOMPARE(silent, QStringList());
}

void TestApp::keysPressTheButtons() {
    const auto form = loadForm();
    form->show();
    QApplication::setActiveWindow(form);
    QVERIFY(QTest::qWaitForWindowActive(form));
    auto fill = [&] {
        form->ListView1->clearEntries();
        form->ListView1->append(QStringLiteral("/a.png"));
    };
    // Return and Enter press the focused button, as Space does.
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        fill();
        form->PushButton7->setFocus();
        QTest::keyClick(form->PushButton7, key);
        QTRY_COMPARE(form->ListView1->count(), 0);
    }
    // Alt and the marked letter press a button wherever the focus is.
    fill();
    form->options->Text1->setFocus();
    QTest::keyClick(form->options->Text1, Qt::Key_C, Qt::AltModifier);
    QTRY_COMPARE(form->ListView1->count(), 0);
    QTest::keyClick(form->options->Text1, Qt::Key_W, Qt::AltModifier);
    QTRY_COMPARE(prompter_->count("message"), 1);
    QTest::keyClick(form->options->Text1, Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(prompter_->messages().last(), kNoFilesMessage);
}

void TestApp::whiteWithoutSkinFaceColourWithIt() {
    auto whiteIn = [](QWidget* w) {
        return w->palette().color(w->backgroundRole()) == Qt::white;
    };
    auto form = loadForm();
    QVERIFY(whiteIn(form));
    for (QGroupBox* frame : form->findChildren<QGroupBox*>())
        QVERIFY(whiteIn(frame));
    for (QRadioButton* option : form->options->Option1)
        QVERIFY(whiteIn(option));
    QCOMPARE(form->form2()->palette().color(form->form2()->backgroundRole()), FaceColor());
    QVERIFY(form->styleSheet().isEmpty());

    QDir().mkpath(home_->path() + "/program/x");
    QFile skin(home_->path() + "/program/x/o.cjs");
    QVERIFY(skin.open(QIODevice::WriteOnly));
    skin.write("QPushButton { color: #123456; }");
    skin.close();
    form = loadForm();
    auto faceIn = [](QWidget* w) {
        return w->palette().color(w->backgroundRole()) == FaceColor();
    };
    QVERIFY(faceIn(form));
    for (QGroupBox* frame : form->findChildren<QGroupBox*>())
        QVERIFY(faceIn(frame));
    for (QRadioButton* option : form->options->Option1)
        QVERIFY(faceIn(option));
    QVERIFY(whiteIn(form->options->pColor));
    QVERIFY(form->styleSheet().contains("#123456"));
    QCOMPARE(form->form2()->palette().color(form->form2()->backgroundRole()), FaceColor());
}

void TestApp::darkDesktopKeepsTextReadable() {
    const QPalette desktop = QApplication::palette();
    QPalette dark(QColor(60, 60, 60), QColor(45, 45, 45));
    dark.setColor(QPalette::WindowText, QColor(220, 220, 220));
    dark.setColor(QPalette::Text, QColor(220, 220, 220));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    QApplication::setPalette(dark);
    const auto form = loadForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QList<QWidget*> forced = {form};
    for (QGroupBox* frame : form->findChildren<QGroupBox*>())
        forced << frame;
    for (QRadioButton* option : form->options->Option1)
        forced << option;
    for (QWidget* widget : forced) {
        const QPalette& palette = widget->palette();
        QCOMPARE(palette.color(widget->backgroundRole()), QColor(Qt::white));
        QVERIFY2(palette.color(QPalette::WindowText).lightness() < 60,
                 qPrintable(widget->objectName()));
    }
    // As drawn: the title of a frame is dark on the white.
    const QImage title = form->options->Frame2->grab(QRect(0, 0, 160, 18)).toImage();
    int darkPixels = 0;
    for (int y = 0; y < title.height(); ++y)
        for (int x = 0; x < title.width(); ++x)
            darkPixels += QColor(title.pixel(x, y)).lightness() < 80;
    QApplication::setPalette(desktop);
    QVERIFY2(darkPixels > 40, qPrintable(QString::number(darkPixels)));
}

void TestApp::windowFitsTheScreen_data() {
    QTest::addColumn<QRect>("area"); // the screen's available area, in device-independent pixels
    QTest::addColumn<bool>("scrolls");
    QTest::newRow("1920 x 1080 at 100 %") << QRect(0, 0, 1920, 1040) << false;
    QTest::newRow("1920 x 1080 at 200 %") << QRect(0, 0, 960, 520) << true;
    QTest::newRow("narrow and low, beside a panel") << QRect(100, 30, 400, 300) << true;
}

void TestApp::windowFitsTheScreen() {
    QFETCH(QRect, area);
    QFETCH(bool, scrolls);
    const auto form = loadForm();
    form->placeOnScreen(area);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    // Once shown, the frame is known (a window manager frames the window as it moves it).
    form->placeOnScreen(area);
    QVERIFY2(area.contains(form->frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                  .arg(form->x())
                                                                  .arg(form->y())
                                                                  .arg(form->width())
                                                                  .arg(form->height())));
    auto* scroller = form->findChild<QScrollArea*>();
    QVERIFY(scroller);
    // The controls keep their designed size and places, scrolled where the window is smaller.
    QCOMPARE(scroller->widget()->size(), QSize(536, 601));
    QCOMPARE(scroller->verticalScrollBar()->isVisible(), scrolls);
    if (!scrolls) {
        QCOMPARE(form->size(), QSize(536, 601));
        QCOMPARE(form->minimumSize(), form->maximumSize());
        QVERIFY((form->frameGeometry().center() - area.center()).manhattanLength() <= 2);
        return;
    }
    // Every control can be brought into view, as Tab does.
    scroller->ensureWidgetVisible(form->options->PushButton9);
    const QRect shown(form->options->PushButton9->mapTo(form, QPoint(0, 0)),
                      form->options->PushButton9->size());
    QVERIFY(form->rect().contains(shown));
}

void TestApp::pointerRules() {
    const auto form = loadForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    auto moveOver = [](QWidget* widget) {
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    };
    moveOver(form->PushButton2);
    QCOMPARE(form->cursor().shape(), Qt::PointingHandCursor); // no HAND-M.CUR in this folder
    moveOver(form->options->Frame3);
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
    moveOver(form->PushButton7);
    moveOver(form->ListView1->viewport());
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);

    form->setBusy(true);
    for (QWidget* widget :
         {static_cast<QWidget*>(form->PushButton1), static_cast<QWidget*>(form->options->Frame2),
          static_cast<QWidget*>(form), form->ListView1->viewport()})
        moveOver(widget);
    QVERIFY(form->isBusy());
    form->setBusy(false);

    // A pointer file of the program's own is used when it is there.
    QImage hand(32, 32, QImage::Format_ARGB32);
    hand.fill(Qt::transparent);
    WriteImage(hand, home_->path() + "/program/HAND-M.CUR", "ico");
    const auto withHand = loadForm();
    withHand->show();
    moveOver(withHand->PushButton1);
    QCOMPARE(withHand->cursor().shape(), Qt::BitmapCursor);
}

void TestApp::listHandlersAndClear() {
    const auto form = loadForm();
    for (const char* path : {"/a.png", "/b.png", "/c.png"})
        form->ListView1->append(QString::fromLatin1(path));
    form->ListView1->select(2);
    QTest::keyClick(form->ListView1, Qt::Key_Delete);
    QCOMPARE(form->ListView1->count(), 2);
    form->setBusy(true);
    form->PushButton7_Click();
    QCOMPARE(form->ListView1->count(), 2);
    form->setBusy(false);
    QTest::mouseClick(form->PushButton7, Qt::LeftButton);
    QCOMPARE(form->ListView1->count(), 0);
    // An empty list refuses the run with its own message.
    form->PushButton2_Click();
    QCOMPARE(prompter_->messages(), QStringList{kNoFilesMessage});
}

void TestApp::closeEndsEverything() {
    auto form = loadForm();
    form->show();
    form->form2()->show();
    QPointer<Form2> preview = form->existingForm2();
    QVERIFY(ImagingRuntime::IsStarted());
    QVERIFY(form->close());
    QVERIFY(!ImagingRuntime::IsStarted());
    QVERIFY(preview.isNull());
    QVERIFY(prompter_->shown.isEmpty());
    // Nothing is stored on the way out.
    QVERIFY(!HasSetting(SettingKey::Placement));
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
