#include "platform/linux/x11/RandrResources.h"

#include <algorithm>

namespace brindlet::platform::randr {

RRCrtc litCrtc(Display* d, XRRScreenResources* res, RROutput output) {
  OutputInfo info(XRRGetOutputInfo(d, res, output));
  if (!info || info->crtc == 0) return 0;
  CrtcInfo crtc(XRRGetCrtcInfo(d, res, info->crtc));
  return crtc && crtc->mode != 0 ? info->crtc : 0;
}

void fitScreen(Display* d, int minWidth, int minHeight, const Density& density) {
  const Window root = rootOf(d);
  int smallestWidth = 0, smallestHeight = 0, largestWidth = 0, largestHeight = 0;
  XRRGetScreenSizeRange(d, root, &smallestWidth, &smallestHeight, &largestWidth, &largestHeight);
  int width = std::max(minWidth, smallestWidth), height = std::max(minHeight, smallestHeight);
  Resources res = resources(d);
  for (int i = 0; res && i < res->ncrtc; ++i) {
    CrtcInfo crtc(XRRGetCrtcInfo(d, res.p, res->crtcs[i]));
    if (!crtc || crtc->mode == 0) continue;
    width = std::max(width, crtc->x + static_cast<int>(crtc->width));
    height = std::max(height, crtc->y + static_cast<int>(crtc->height));
  }
  if (width <= 0 || height <= 0) return;
  XRRSetScreenSize(d, root, width, height, density.mmWidth * width / std::max(1, density.width),
                   density.mmHeight * height / std::max(1, density.height));
}

}  // namespace brindlet::platform::randr
