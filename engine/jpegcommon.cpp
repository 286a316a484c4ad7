#include "engine/jpegcommon.h"

#include "engine/picture.h"

#include <jerror.h>

namespace {

JpegErrors& errorsOf(j_common_ptr info) {
    return *reinterpret_cast<JpegErrors*>(info->err);
}

[[noreturn]] void leave(j_common_ptr info) {
    JpegErrors& errors = errorsOf(info);
    info->err->format_message(info, errors.message);
    std::longjmp(errors.jump, 1);
}

// A file cut short makes libjpeg warn and fill the rest with grey; damaged entropy data makes it
// warn and guess. Either would give a stamped copy of a damaged picture, so both end the decode.
// Other warnings, such as stray bytes before a marker, leave the picture whole and are ignored.
void onMessage(j_common_ptr info, int level) {
    if (level != -1)
        return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
        errorsOf(info).endedEarly = true;
        leave(info);
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
        leave(info);
    default:
        info->err->num_warnings++;
    }
}

} // namespace

jpeg_error_mgr* installJpegErrors(JpegErrors& errors) {
    jpeg_error_mgr* manager = jpeg_std_error(&errors.manager);
    manager->error_exit = leave;
    manager->emit_message = onMessage;
    errors.message[0] = '\0';
    errors.endedEarly = false;
    return manager;
}

QString jpegFailureText(const JpegErrors& errors) {
    return errors.endedEarly ? kDataEndsEarlyText : QString::fromLocal8Bit(errors.message);
}
