#pragma once

#include "engine/run/job.h"
#include "engine/run/planner.h"
#include "engine/run/stampfile.h"

#include <QImage>
#include <QString>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// What became of one listed image.
enum class ImageOutcome {
    Written,
    Failed,
    Skipped,    // no output: none in the format rule, or its name holds a file it must not replace
    Repeat,     // the same file as an earlier entry, stamped once already
    UpToDate,   // its output was made from this image, watermark and options, and stays as it is
    OtherShard, // another part of a run shared among machines stamps it
};

// What the run tells about one listed image, in list order.
struct ImageReport {
    int position = 0;
    QString inputPath;
    ImageOutcome outcome = ImageOutcome::Skipped;
    QString outputPath;
    QList<StepFailure> failures;
    QStringList notes; // what the run says of a written copy besides its failures
    ImagePlan::Renamed renamed = ImagePlan::Renamed::No; // whether and why it took a numbered name
    qint64 milliseconds = 0;
};

struct RunSettings {
    int workers = 0; // 0: one per core
    // The largest picture held whole (decoded whole, or a JPEG's blocks); 0: no ceiling but the
    // memory budget's.
    qint64 maxPixels = 0;
    // The memory all workers together give their pictures; 0: DefaultMemoryBudget().
    qint64 memoryBytes = 0;
    // Decode every picture whole and hand the latest stamped one back, for an open preview.
    bool wantPictures = false;
    // The watermark, when the caller decoded it already; otherwise the run decodes it once.
    std::shared_ptr<RunWatermark> watermark;
};

// The most pixels of the watermark, decoded whole once for the run: within the run's ceiling and
// a share of its memory budget.
qint64 WatermarkPixelCeiling(const RunSettings& settings);

// The batch run's workers. Each worker takes the next listed image, stamps it from input file to
// output file and hands back its report; reports are taken in list order, so that a run's files,
// names and messages are the same for any number of workers. Work is planned in list order as it
// is handed out. A stop hands out no further images; those already taken are finished, so no file
// is ever left half written.
class BatchRunner {
public:
    // Called from the workers whenever there is something new for the taker of reports.
    using Wake = std::function<void()>;

    BatchRunner(WatermarkJob job, RunSettings settings, Wake wake = {});
    ~BatchRunner();
    BatchRunner(const BatchRunner&) = delete;
    BatchRunner& operator=(const BatchRunner&) = delete;

    void start();
    void requestStop();
    bool stopRequested() const;

    int count() const { return int(job_.InputPaths.size()); }
    const WatermarkJob& job() const { return job_; }

    enum class Next { Ready, Pending, Gone };
    // The report of the next position in list order: Ready (taken into report), Pending, or Gone
    // when the run stopped before that image was handed out or could not begin at all.
    Next takeNext(ImageReport& report);
    int nextPosition() const;

    // Why the run could not begin (the watermark could not be decoded); empty otherwise. Known
    // once takeNext() says Gone for the first position.
    QString setupFailure() const;

    // A number that grows with every change; waitForChange(seen) returns once it differs.
    quint64 changes() const;
    void waitForChange(quint64 seen) const;

    // The latest stamped picture, when pictures were asked for; null when none is new.
    QImage takePicture();

private:
    void work();
    bool setUp();
    ImageReport process(int position, const ImagePlan& plan);
    void touch();

    WatermarkJob job_;
    RunSettings settings_;
    Wake wake_;
    RunPlanner planner_;
    std::unique_ptr<MemoryBudget> budget_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    quint64 changes_ = 0;
    bool stop_ = false;
    bool setUpStarted_ = false;
    bool setUpDone_ = false;
    QString setupFailure_;
    int nextToHand_ = 1;
    int nextToTake_ = 1;
    int activeWorkers_ = 0;
    std::map<int, ImageReport> finished_;
    QImage picture_;
    int picturePosition_ = 0;
    std::vector<std::thread> threads_;
};
