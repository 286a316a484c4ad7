#pragma once

#include <QString>
#include <QStringList>
#include <functional>

class Prompter;

inline const QString kProductName = QStringLiteral("Tintorel");
inline const QString kImagingStartFailedMessage = QStringLiteral("GDI+ Initialisation Failed.");

// The product name cut before its last space until it is at most 40 characters long. A name of
// one word has nothing to cut and is kept whole.
QString ShortTitleOf(const QString& productName);

// The title of every message box that names none, decided once at start-up.
const QString& ShortTitle();
void SetShortTitle();

// The process-wide imaging runtime: ready when decoders for BMP, JPEG, PNG, GIF and TIFF and
// encoders for BMP, JPEG, PNG and TIFF are present (GIF is encoded by the program itself).
class ImagingRuntime {
public:
    // Also makes the memory allocator keep the large blocks a picture frees for the next picture,
    // until ReleasePictureMemory.
    static bool Startup();
    static void Shutdown();
    static bool IsStarted();
    // The codecs that are missing, as "read:tiff" or "write:jpeg"; empty when all are present.
    static QStringList MissingCodecs();
    // Lets a test stand in for the codec check; clears the start-failed flag for the next start.
    static void SetProbeForTesting(std::function<bool()> probe);
};

// Hands the memory the pictures of a run freed back to the system, once the run has ended.
void ReleasePictureMemory();

// Keeps at most this much freed memory for the next picture in each worker's pool: a run's
// workers together keep no more than its memory budget.
void KeepPictureMemoryWithin(qint64 bytes);

// Set when the imaging runtime did not start; the run refuses to work while it holds.
bool GdiplusStartFailed();

// Starts the imaging runtime; when it does not start, says so once and sets the flag.
void StartImaging(Prompter& prompter);
void StopImaging();
