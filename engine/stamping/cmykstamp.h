#pragma once

// Marks stamped on a CMYK picture in its own inks, for a copy that stays CMYK.

#include "engine/stamping/stamp.h"

class ColourConversion;

// Stamps every copy of the plan onto a CMYK picture as PictureReader::readCmyk gives it: the
// mark's colours (sRGB) taken into the picture's inks through `toCmyk`, or without one as the
// plain reading of a CMYK picture without a profile gives them back, each ink blended by the
// mark's alpha.
void StampCmyk(QImage& cmyk, const StampPlan& plan, const ColourConversion* toCmyk);
