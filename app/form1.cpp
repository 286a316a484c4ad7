#include "app/form1.h"

#include "app/appearance.h"
#include "app/closerequest.h"
#include "app/homepage.h"
#include "app/screenfit.h"
#include "app/windowbatch.h"
#include "filelist/addfiles.h"
#include "filelist/dragreorder.h"
#include "filelist/imagelist.h"
#include "filelist/samples.h"
#include "options/livepreview.h"
#include "options/moreoptions.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "options/previewmaker.h"
#include "support/errorreport.h"
#include "support/failure.h"
#include "support/geometry.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/pointerfile.h"
#include "support/prompter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

#include "options/colorswatch.h"

namespace {
// The client area, in twips.
constexpr int kClientWidth = 8040, kClientHeight = 9015;
// The captions carry their Alt letters; Start and Stop share theirs.
const QString kStartCaption = QStringLiteral("&Start Applying Watermark");
const QString kStopCaption = QStringLiteral("&Stop");
// Shown, disabled, from the moment a stop is asked until the images in hand are finished.
const QString kStoppingCaption = QStringLiteral("Stopping...");
// One start in a hundred offers the maker's home page.
constexpr int kHomePageDraw = 7;

// The progress bar's text is the program's own: a file named "sale 50%p.jpg" is shown as it is,
// never with the bar's %p, %v and %m expanded.
class ProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    QString text() const override { return format(); }
};

QFont ButtonFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    return font;
}

// The boxes and dialogs still open when the window closes are dismissed as Escape dismisses them:
// the person closing the window has answered them.
void DismissOpenBoxes() {
    for (QWidget* box = QApplication::activeModalWidget(); box;) {
        box->close();
        QWidget* next = QApplication::activeModalWidget();
        box = next != box ? next : nullptr;
    }
}
} // namespace

Form1::Form1(Prompter& prompter)
    : homePage(QStringLiteral(TINTOREL_HOME_PAGE)),
      drawHomePageNumber([] { return QRandomGenerator::global()->bounded(1, 101); }),
      openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }), prompter_(prompter),
      pWatermark_(QSize(TwipsToPixels(375), TwipsToPixels(315))) {
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont windowFont(QStringLiteral("Arial"), 9);
    windowFont.setBold(true);
    setFont(windowFont);
    buildScroller();
    buildControls();
    setFixedSize(content_->size());
    ListView1->setPrompter(&prompter_);
    setTabOrder();
    batch_ = std::make_unique<WindowBatch>(*this, prompter_);
    preview_ = new PreviewMaker(
        prompter_, [this] { return form2(); }, this);
    connectHandlers();
    new CloseRequests(this);
}

Form1::~Form1() {
    delete form2_.data();
}

void Form1::buildScroller() {
    // The controls sit at their designed places on one content area. The window shows all of it
    // where the screen has room, and scrolls it where it has not (a high scale factor).
    scroller_ = new QScrollArea(this);
    scroller_->setObjectName(QStringLiteral("Scroller"));
    scroller_->setFrameShape(QFrame::NoFrame);
    scroller_->setFocusPolicy(Qt::NoFocus);
    scroller_->viewport()->setAutoFillBackground(false);
    content_ = new QWidget;
    content_->setObjectName(QStringLiteral("Content"));
    content_->setFixedSize(TwipsToPixels(kClientWidth), TwipsToPixels(kClientHeight));
    scroller_->setWidget(content_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroller_);
}

void Form1::placeOnScreen(const QRect& area) {
    area_ = area;
    fittedFrame_ = frameGeometry().size() - size();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroller_);
    const QSize fitted = FittedSize(content_->size(), area.size() - fittedFrame_, bar);
    if (fitted == content_->size()) {
        setFixedSize(fitted);
    } else {
        setMinimumSize(QSize(1, 1));
        setMaximumSize(content_->size() + QSize(bar, bar));
        resize(fitted);
    }
    move(CentredInside(area, fitted + fittedFrame_));
}

void Form1::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // A window manager frames the window a moment after it is shown: fit again with the frame.
    if (!area_.isEmpty() && isVisible() && frameGeometry().size() - size() != fittedFrame_)
        placeOnScreen(area_);
}

void Form1::buildControls() {
    QWidget* const form = content_;
    ListView1 = new ImageFileList(form);
    ListView1->setGeometry(TwipsRect(120, 120, 7800, 1815));
    ListView1->setAccessibleName(QStringLiteral("Image files to stamp"));
    PushButton1 = MakePushButton(form, "PushButton1", QStringLiteral("&Add Image File(s)"),
                                 TwipsRect(120, 2020, 3840, 405));
    PushButton3 = MakePushButton(form, "PushButton3", QStringLiteral("Add All File(s) In &Folder"),
                                 TwipsRect(4080, 2020, 3840, 405));
    PushButton7 = MakePushButton(form, "PushButton7", QStringLiteral("&Clear List"),
                                 TwipsRect(120, 2530, 3840, 405));
    PushButton8 = MakePushButton(form, "PushButton8", QStringLiteral("&Load Sample/Example Files"),
                                 TwipsRect(4080, 2530, 3840, 405));
    options = new OptionsPanel(form, prompter_);
    PushButton5 = MakePushButton(form, "PushButton5",
                                 QStringLiteral("*&Preview (How Watermark Will Look On Image)"),
                                 TwipsRect(120, 7440, 7800, 405));
    PushButton2 =
        MakePushButton(form, "PushButton2", kStartCaption, TwipsRect(120, 7965, 7800, 405));
    ProgressBar1 = new ProgressBar(form);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    // Its text says "Progress Bar" when idle and the run's state later; a screen reader reads the
    // name beside the value.
    ProgressBar1->setAccessibleName(QStringLiteral("Progress"));
    ProgressBar1->setGeometry(TwipsRect(120, 8490, 7800, 405));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(kIdleProgressText);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    pWatermark = new QLabel(form);
    pWatermark->setObjectName(QStringLiteral("pWatermark"));
    pWatermark->setGeometry(TwipsRect(3000, 0, 375, 315));
    pWatermark->hide();

    for (QPushButton* button : findChildren<QPushButton*>())
        button->setFont(ButtonFont());
    PaintBackground(this, Qt::white);
    for (QWidget* frame :
         {static_cast<QWidget*>(options->Frame2), static_cast<QWidget*>(options->Frame3),
          static_cast<QWidget*>(options->Frame4), static_cast<QWidget*>(options->Frame5),
          static_cast<QWidget*>(options->Frame6)})
        PaintBackground(frame, Qt::white);
    for (QRadioButton* option : options->Option1)
        PaintBackground(option, Qt::white);
}

void Form1::setTabOrder() {
    // The order the window is drawn in, top to bottom and left to right; frames and the progress
    // bar take no focus and drop out.
    const QList<QWidget*> order = {ListView1,
                                   PushButton1,
                                   PushButton3,
                                   PushButton7,
                                   PushButton8,
                                   options->Text1,
                                   options->PushButton4,
                                   options->pColor,
                                   options->PushButton6,
                                   options->Combo1,
                                   options->Option1[0],
                                   options->Option1[1],
                                   options->Option1[2],
                                   options->Option1[3],
                                   options->MoreOptions,
                                   options->Text2,
                                   options->PushButton9,
                                   PushButton5,
                                   PushButton2};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void Form1::connectHandlers() {
    // Main window handlers. The option controls connect their own in the options panel.
    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(PushButton8, &QPushButton::clicked, this, &Form1::PushButton8_Click);
    stopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stopShortcut->setEnabled(false);
    connect(stopShortcut, &QShortcut::activated, this, [this] { batch_->stop(false); });
    // Another entry selected while a preview is made: the preview follows the selection.
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (preview_->isWorking() && ListView1->selectedPosition() > 0)
            PushButton5_Click();
    });
    new ListReorder(ListView1, this);
    // The "More Options" preview follows the list's selection.
    options->setPictureSource([this] {
        try {
            return previewPicture();
        } catch (const Failure&) {
            return QString();
        }
    });
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (options->moreOptionsDialog())
            options->moreOptionsDialog()->preview->changed();
    });
}

void Form1::Form_Load() {
    Guard guard(prompter_, ErrorLocation::Form1Load);
    guard.step(10, [&] { ApplySkin(this); });
    guard.step(20, [&] {
        setWindowTitle(kProductName);
        setWindowIcon(QIcon(ProgramFolder() + QStringLiteral("/tintorel.png")));
    });
    guard.step(30, [&] { SetShortTitle(); });
    guard.step(40, [&] {
        const QString handFile = ProgramFolder() + kHandPointerFile;
        handPointer = PathExists(handFile)
                          ? LoadPointerFile(handFile, QCursor(Qt::PointingHandCursor))
                          : QCursor(Qt::PointingHandCursor);
        watchPointers();
    });
    guard.step(50, [&] {
        if (!homePage.isEmpty() && drawHomePageNumber() == kHomePageDraw)
            openUrl(homePage);
    });
    guard.step(60, [&] { ListView1->setColumnWidth(0, TwipsToPixels(7000)); });
    guard.step(70, [&] { options->setDialogColor(kWhite); });
    guard.step(80, [&] { options->fillPlacements(); });
    guard.step(90, [&] { options->restorePlacement(); });
    guard.step(100, [&] { options->restoreOutputFolder(); });
    guard.step(110, [&] { options->restoreOutputFormat(); });
    guard.step(112, [&] { options->restoreWatermark(); });
    guard.step(114, [&] { options->restoreTransparentColor(); });
    guard.step(116, [&] { options->restoreMoreChoices(); });
    guard.step(120, [&] { StartImaging(prompter_); });
    guard.step(130, [&] { pWatermark_ = Surface(pWatermark->size()); });
    guard.step(140, [&] { form2(); });
}

void Form1::watchPointers() {
    pointers_ = new PointerRules(this, handPointer);
    for (QPushButton* button : findChildren<QPushButton*>())
        pointers_->watchButton(button);
    pointers_->watchSurface(this);
    pointers_->watchSurface(content_);
    for (QGroupBox* frame : findChildren<QGroupBox*>())
        pointers_->watchSurface(frame);
    pointers_->watchSurface(ListView1->viewport());
}

bool Form1::isBusy() const {
    return cursor().shape() == Qt::WaitCursor;
}

void Form1::setBusy(bool busy) {
    setCursor(busy ? Qt::WaitCursor : Qt::ArrowCursor);
}

Form2* Form1::form2() {
    if (!form2_) {
        form2_ = new Form2;
        loadForm2(form2_);
    }
    return form2_;
}

void Form1::loadForm2(Form2* window) {
    Guard guard(prompter_, ErrorLocation::Form2Load);
    guard.step(1, [&] { ApplyFaceColors(window); });
    guard.step(2, [&] { window->setWindowIcon(windowIcon()); });
}

void Form1::PushButton1_Click() {
    Guard guard(prompter_, ErrorLocation::AddImageFiles);
    guard.step(1, [&] { AddImageFiles(*ListView1, prompter_); });
}

void Form1::PushButton2_Click() {
    if (batch_->isRunning()) {
        batch_->stop(false);
        return;
    }
    // A click still queued when the window closed starts nothing.
    if (ended_ || closeAfterRun_)
        return;
    batch_->run();
    if (closeAfterRun_)
        close();
}

void Form1::showRunning(bool running) {
    for (QWidget* control : {static_cast<QWidget*>(ListView1), static_cast<QWidget*>(PushButton1),
                             static_cast<QWidget*>(PushButton3), static_cast<QWidget*>(PushButton7),
                             static_cast<QWidget*>(PushButton8)})
        control->setEnabled(!running);
    options->setEnabled(!running);
    PushButton2->setText(running ? kStopCaption : kStartCaption);
    PushButton2->setEnabled(true);
    stopShortcut->setEnabled(running);
}

void Form1::showStopping() {
    PushButton2->setText(kStoppingCaption);
    PushButton2->setEnabled(false);
    stopShortcut->setEnabled(false);
}

void Form1::PushButton3_Click() {
    Guard guard(prompter_, ErrorLocation::AddFolderFiles);
    guard.step(1, [&] { AddFolderFiles(*ListView1, prompter_, [this](bool on) { setBusy(on); }); });
    // Whatever failed on the way, the window is not left marked busy.
    guard.step(2, [&] { setBusy(false); });
}

QString Form1::previewPicture() const {
    // With nothing selected the first entry is previewed; an empty list has nothing to show.
    return ListView1->count() > 0 ? ListView1->textAt(std::max(ListView1->selectedPosition(), 1))
                                  : QString();
}

void Form1::PushButton5_Click() {
    Guard guard(prompter_, ErrorLocation::Preview);
    QString imagePath;
    guard.step(1, [&] { imagePath = previewPicture(); });
    guard.step(2, [&] { preview_->preview(imagePath, options->readOptions()); });
}

void Form1::PushButton8_Click() {
    Guard guard(prompter_, ErrorLocation::LoadSamples);
    guard.step(1, [&] { AddSampleFiles(*ListView1, prompter_, openUrl); });
    // The sample watermark is filled in even when loading the samples failed.
    guard.step(2, [&] { options->useSampleWatermark(); });
}

void Form1::PushButton7_Click() {
    Guard guard(prompter_, ErrorLocation::ClearList);
    guard.step(1, [&] { ListView1->clearEntries(); });
}

void Form1::closeEvent(QCloseEvent* event) {
    // A preview still decoding is dropped: the window goes without waiting for it.
    preview_->cancel();
    DismissOpenBoxes();
    if (batch_->isRunning()) {
        // The images in hand are finished first, so that no file is left half written; the
        // program then ends without the run's closing box.
        closeAfterRun_ = true;
        batch_->stop(true);
        event->ignore();
        // The user asked the window away: it goes at once, with its preview, though the program
        // waits for them.
        hide();
        if (form2_)
            form2_->hide();
        return;
    }
    event->accept();
    if (ended_)
        return;
    ended_ = true;
    Form_QueryUnload();
    // The program ends with its main window, taking a hidden or open preview window with it.
    delete form2_.data();
    QCoreApplication::quit();
}

void Form1::Form_QueryUnload() {
    Guard guard(prompter_, ErrorLocation::Form1QueryUnload);
    guard.step(1, [&] { StopImaging(); });
    // What is already queued (a repaint) is handled; a click or key still waiting would start
    // new work in a window that is going away.
    guard.step(2, [&] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
}
