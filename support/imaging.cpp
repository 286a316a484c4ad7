// The imaging runtime's start and stop, and the short title of the program.
#include "support/imaging.h"

#include "support/prompter.h"

#include <QImageReader>
#include <QImageWriter>

#ifdef __GLIBC__
#include <algorithm>
#include <malloc.h>
#endif

namespace {
QString g_shortTitle = kProductName;
bool g_startFailed = false;
bool g_started = false;
std::function<bool()> g_probe;

constexpr int kTitleLimit = 40;

// A JPEG stamped losslessly holds its blocks, 36 MB for 12 megapixels at 4:2:0 and more with
// finer chroma, and frees them when it is written. By default glibc gives blocks that large back
// to the system at once, and the next picture takes them again a page at a time, the system
// clearing every page: that costs as much time as reading the blocks. Blocks up to glibc's
// largest threshold, 32 MB, come from the heap instead, and freed memory stays there for the next
// picture until the run ends.
void keepPictureMemory() {
#ifdef __GLIBC__
    constexpr int kLargestHeapBlock = 32 << 20;
    constexpr int kKeptFreeMemory = 512 << 20;
    mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
#endif
}
} // namespace

QString ShortTitleOf(const QString& productName) {
    QString title = productName;
    do {
        const qsizetype space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            break;
        title.truncate(space);
    } while (title.size() > kTitleLimit);
    return title;
}

const QString& ShortTitle() {
    return g_shortTitle;
}

void SetShortTitle() {
    g_shortTitle = ShortTitleOf(kProductName);
}

QStringList ImagingRuntime::MissingCodecs() {
    QStringList missing;
    const QList<QByteArray> readable = QImageReader::supportedImageFormats();
    for (const char* format : {"bmp", "jpeg", "png", "gif", "tiff"})
        if (!readable.contains(format))
            missing << QStringLiteral("read:") + QLatin1String(format);
    const QList<QByteArray> writable = QImageWriter::supportedImageFormats();
    for (const char* format : {"bmp", "jpeg", "png", "tiff"})
        if (!writable.contains(format))
            missing << QStringLiteral("write:") + QLatin1String(format);
    return missing;
}

bool ImagingRuntime::Startup() {
    keepPictureMemory();
    g_started = g_probe ? g_probe() : MissingCodecs().isEmpty();
    return g_started;
}

void ImagingRuntime::Shutdown() {
    g_started = false;
}

bool ImagingRuntime::IsStarted() {
    return g_started;
}

void ImagingRuntime::SetProbeForTesting(std::function<bool()> probe) {
    g_probe = std::move(probe);
    g_startFailed = false;
}

void ReleasePictureMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void KeepPictureMemoryWithin(qint64 bytes) {
#ifdef __GLIBC__
    constexpr qint64 kKeptFreeMemory = 512 << 20;
    mallopt(M_TRIM_THRESHOLD, int(std::clamp<qint64>(bytes, 0, kKeptFreeMemory)));
#else
    Q_UNUSED(bytes);
#endif
}

bool GdiplusStartFailed() {
    return g_startFailed;
}

void StartImaging(Prompter& prompter) {
    if (ImagingRuntime::Startup())
        return;
    prompter.showMessage(kImagingStartFailedMessage, ShortTitle(), Prompter::Icon::None);
    g_startFailed = true;
}

void StopImaging() {
    ImagingRuntime::Shutdown();
}
