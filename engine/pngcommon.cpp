#include "engine/pngcommon.h"

#include "engine/picture.h"
#include "support/failure.h"

#include <cstring>

void pngErrorHandler(png_structp png, png_const_charp text) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::strncpy(errors->message, text ? text : "", sizeof errors->message - 1);
    errors->message[sizeof errors->message - 1] = '\0';
    png_longjmp(png, 1);
}

// A warning leaves the picture whole (an ancillary chunk libpng skips, for instance): as Qt, the
// picture is read on.
void pngWarningHandler(png_structp, png_const_charp) {}

void throwPngFailure(const PngErrors& errors) {
    if (errors.endedEarly)
        throw Failure(kDataEndsEarlyText);
    if (errors.deviceReason && !errors.deviceReason->isEmpty())
        throw Failure(*errors.deviceReason);
    throw Failure(QString::fromLatin1(errors.message));
}
