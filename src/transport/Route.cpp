#include "transport/Route.h"

#include "runtime/Unicode.h"

namespace brindlet::transport {

std::string Route::description() const {
  if (kind == Kind::usb) return "USB device " + std::to_string(deviceID) + " (" + serial + ")";
  return "Wi-Fi \"" + name + "\"";
}

bool operator==(const Route& a, const Route& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == Route::Kind::usb)
    return a.deviceID == b.deviceID && runtime::canonicallyEqual(a.serial, b.serial);
  return runtime::canonicallyEqual(a.name, b.name);
}

}  // namespace brindlet::transport

std::size_t std::hash<brindlet::transport::Route>::operator()(
    const brindlet::transport::Route& route) const {
  using brindlet::transport::Route;
  const std::size_t kind = route.kind == Route::Kind::usb ? 0 : 1;
  if (route.kind == Route::Kind::usb)
    return (kind * 31 + std::hash<int>{}(route.deviceID)) * 31 +
           brindlet::runtime::canonicalHash(route.serial);
  return kind * 31 + brindlet::runtime::canonicalHash(route.name);
}
