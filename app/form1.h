#pragma once

#include "engine/stamping/surface.h"
#include "options/preview.h"

#include <QCursor>
#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>

class Form2;
class ImageFileList;
class OptionsPanel;
class PointerRules;
class PreviewMaker;
class Prompter;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QShortcut;
class WindowBatch;

// The main window: the image list with its buttons, the options, the preview and start buttons
// and the progress bar. It owns the controls and their handlers; each handler hands its work to
// the list, the options panel or the batch run.
class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(Prompter& prompter);
    ~Form1() override;

    // The start-up sequence, run once before the window is first shown.
    void Form_Load();
    // Sizes the window to the screen's available area and centres it there; the content scrolls
    // where the designed size does not fit.
    void placeOnScreen(const QRect& area);

    // The busy mark: the hourglass over the whole window while a run or a folder scan works.
    bool isBusy() const;
    void setBusy(bool busy);

    // While a run works: the list, its buttons and the options are disabled, so that what the run
    // took at Start stays what the window shows, and "Start Applying Watermark" reads "Stop".
    void showRunning(bool running);
    // A stop was asked: the button reads "Stopping..." and takes no click until the run ends.
    void showStopping();

    // The preview window, created hidden when it does not exist (it is destroyed when closed).
    Form2* form2();
    Form2* existingForm2() const { return form2_; }
    Surface& watermarkSurface() { return pWatermark_; }
    // What makes the preview, on a worker; its finished() says when a preview was shown.
    PreviewMaker* previewMaker() const { return preview_; }

    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    // The picture a preview shows: the selected entry, else the first; empty for an empty list.
    QString previewPicture() const;
    void PushButton5_Click();
    void PushButton7_Click();
    void PushButton8_Click();

    // The maker's home page that one start in a hundred opens, as the build names it; none when
    // empty. With the draw (1 to 100) and how a page is opened, a seam for tests.
    QUrl homePage;
    std::function<int()> drawHomePageNumber;
    std::function<void(const QUrl&)> openUrl;

    // The controls keep the names the error report's locations and the stored settings use.
    //
    // | control      | caption                                       | role                       |
    // |--------------|-----------------------------------------------|----------------------------|
    // | ListView1    | (the image list)                              | the pictures of the run    |
    // | PushButton1  | "Add Image File(s)"                           | pick files for the list    |
    // | PushButton3  | "Add All File(s) In Folder"                   | add a folder's tree        |
    // | PushButton7  | "Clear List"                                  | empty the list             |
    // | PushButton8  | "Load Sample/Example Files"                   | list the samples           |
    // | options      | (frames 2 to 6, see optionspanel.h)           | the run's options          |
    // | PushButton5  | "*Preview (How Watermark Will Look On Image)" | open the preview, Form2    |
    // | PushButton2  | "Start Applying Watermark", "Stop" in a run   | start or stop the run      |
    // | ProgressBar1 | "Progress Bar", "Processing: NAME" in a run   | the run's progress         |
    // | pWatermark   | (hidden)                                      | the watermark's surface    |
    ImageFileList* ListView1 = nullptr;
    OptionsPanel* options = nullptr;
    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton2 = nullptr;
    QPushButton* PushButton3 = nullptr;
    QPushButton* PushButton5 = nullptr;
    QPushButton* PushButton7 = nullptr;
    QPushButton* PushButton8 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* pWatermark = nullptr;
    QCursor handPointer;
    QShortcut* stopShortcut = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void buildScroller();
    void buildControls();
    void setTabOrder();
    void connectHandlers();
    void watchPointers();
    void loadForm2(Form2* window);
    void Form_QueryUnload();

    Prompter& prompter_;
    std::unique_ptr<WindowBatch> batch_;
    PointerRules* pointers_ = nullptr;
    PreviewMaker* preview_ = nullptr;
    Surface pWatermark_;
    QPointer<Form2> form2_;
    QScrollArea* scroller_ = nullptr;
    QWidget* content_ = nullptr;
    QRect area_;
    QSize fittedFrame_;
    // A close asked for during a run ends the program once the images in hand are written.
    bool closeAfterRun_ = false;
    // The close has run: the program is ending and starts nothing more.
    bool ended_ = false;
};
