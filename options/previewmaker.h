#pragma once

#include "engine/stamping/compose.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

class Form2;
class Prompter;
struct WatermarkJob;

inline const QString kInvalidWatermarkPathMessage =
    QStringLiteral("The selected watermark path is not valid.");
inline const QString kSelectPictureMessage = QStringLiteral("Select a picture first");

// The preview of one image, made off the window's thread so that the window answers while a large
// photograph decodes: the picture decoded reduced to what the screen shows of it, the watermark
// stamped where and as large as the run stamps it, then shown in the preview window, fitted to
// the picture, without owner and not modal. A picture or watermark that fails to load is reported
// with its path, and no window opens. A watermark path that names no file, or an empty image path
// (an empty list), is answered by its own message and nothing else happens.
//
// A later preview supersedes one still under way, which stops at its next band of rows and is
// never shown; so does a cancel. While a preview is under way the pointer shows the busy arrow.
class PreviewMaker : public QObject {
    Q_OBJECT

public:
    PreviewMaker(Prompter& prompter, std::function<Form2*()> form2, QObject* parent = nullptr);
    // Stops a preview under way; returns once its worker has (at its next band of rows).
    ~PreviewMaker() override;

    void preview(const QString& imagePath, const WatermarkJob& options);
    void cancel();
    bool isWorking() const { return working_; }

signals:
    // The preview last asked for was shown, or its failures reported.
    void finished();

private:
    struct Outcome {
        ReducedPicture shown;
        QList<std::pair<int, QString>> failures; // step and text naming the file, in order
    };

    void start(const PreviewRequest& request);
    void show();
    void setWorking(bool working);
    static Outcome compose(PreviewRequest request, std::shared_ptr<std::atomic<bool>> stop);

    Prompter& prompter_;
    std::function<Form2*()> form2_;
    // One preview decodes at a time: a superseded one gives way at its next band.
    QThreadPool pool_;
    QFutureWatcher<Outcome> watcher_;
    std::shared_ptr<std::atomic<bool>> stop_;
    bool working_ = false;
};
