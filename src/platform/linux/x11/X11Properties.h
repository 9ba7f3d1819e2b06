#pragma once

#include <optional>
#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace brindlet::platform {

// Reading window properties; every read that fails (the window is gone, the property is absent
// or of another type) gives nothing.
struct XProperty {
  Atom type = None;
  int format = 0;
  std::vector<unsigned char> bytes;  // format 8
  std::vector<long> items;           // format 32 (Xlib hands them over as longs)
};

std::optional<XProperty> readProperty(Display* d, Window window, Atom property);
std::vector<long> readItems(Display* d, Window window, Atom property);
std::optional<std::string> readText(Display* d, Window window, Atom property);
std::string latin1ToUtf8(const std::vector<unsigned char>& bytes);

// Sends an EWMH request for the window to the window manager through the root window.
void sendToRoot(Display* d, Window root, Window window, Atom type, std::vector<long> data);

}  // namespace brindlet::platform
