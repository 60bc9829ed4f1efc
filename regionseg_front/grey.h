// Grey values from the caller's samples (grey.cpp): the scale's rule for
// every element type, read through the strides where the samples lie.
#ifndef KALMEX_REGIONSEG_FRONT_GREY_H
#define KALMEX_REGIONSEG_FRONT_GREY_H

#include "front.h"

namespace segfront {

// The grey values of the image as the plan says (colour turned grey, the
// scale applied), plan.voxels() of them in the image's layout.
void greyValues(const ImageView &image, const Plan &plan, int32_t *grey);

} // namespace segfront

#endif
