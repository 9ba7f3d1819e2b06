#pragma once

// Owned views of RandR's replies, for the backend's own files only: it pulls in Xlib and RandR.

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace brindlet::platform::randr {

template <class T, void (*Free)(T*)>
struct XPtr {
  T* p;
  explicit XPtr(T* value) : p(value) {}
  ~XPtr() {
    if (p) Free(p);
  }
  XPtr(const XPtr&) = delete;
  XPtr& operator=(const XPtr&) = delete;
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};
using Resources = XPtr<XRRScreenResources, XRRFreeScreenResources>;
using OutputInfo = XPtr<XRROutputInfo, XRRFreeOutputInfo>;
using CrtcInfo = XPtr<XRRCrtcInfo, XRRFreeCrtcInfo>;

inline Window rootOf(Display* d) {
  return DefaultRootWindow(d);
}
inline Resources resources(Display* d) {
  return Resources(XRRGetScreenResourcesCurrent(d, rootOf(d)));
}

// The CRTC driving the output with a mode, if any.
RRCrtc litCrtc(Display* d, XRRScreenResources* res, RROutput output);

// The screen sized to hold everything lit and at least `minWidth`×`minHeight`, at the pixel
// density `mmWidth`×`mmHeight` millimetres over `width`×`height` pixels has.
struct Density {
  int width = 0, height = 0, mmWidth = 0, mmHeight = 0;
};
void fitScreen(Display* d, int minWidth, int minHeight, const Density& density);

}  // namespace brindlet::platform::randr
