#include "platform/linux/x11/X11Properties.h"

#include <X11/Xatom.h>

namespace brindlet::platform {

std::optional<XProperty> readProperty(Display* d, Window window, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, window, property, 0, 1 << 20, False, AnyPropertyType, &type, &format,
                         &count, &after, &data) != Success)
    return std::nullopt;
  if (type == None) {
    if (data) XFree(data);
    return std::nullopt;
  }
  XProperty result;
  result.type = type;
  result.format = format;
  if (format == 8) {
    result.bytes.assign(data, data + count);
  } else if (format == 32) {
    const long* items = reinterpret_cast<const long*>(data);
    result.items.assign(items, items + count);
  }
  XFree(data);
  return result;
}

std::vector<long> readItems(Display* d, Window window, Atom property) {
  auto read = readProperty(d, window, property);
  return read ? read->items : std::vector<long>{};
}

std::string latin1ToUtf8(const std::vector<unsigned char>& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return text;
}

// STRING is Latin-1; UTF8_STRING, and anything else, is taken as it stands.
std::optional<std::string> readText(Display* d, Window window, Atom property) {
  auto read = readProperty(d, window, property);
  if (!read || read->format != 8) return std::nullopt;
  if (read->type == XA_STRING) return latin1ToUtf8(read->bytes);
  return std::string(read->bytes.begin(), read->bytes.end());
}

void sendToRoot(Display* d, Window root, Window window, Atom type, std::vector<long> data) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  for (std::size_t i = 0; i < data.size() && i < 5; ++i) event.xclient.data.l[i] = data[i];
  XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

}  // namespace brindlet::platform
