#include "desktop/DesktopError.h"

namespace brindlet::desktop {
namespace {

using runtime::ErrorText;

std::string describe(const DesktopError::Payload& payload) {
  using E = DesktopError;
  return std::visit(
      [](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, E::NoSuchWindow>) {
          return ErrorText("noSuchWindow").number("window", static_cast<std::int64_t>(p.window));
        } else if constexpr (std::is_same_v<T, E::RequestFailed>) {
          return ErrorText("requestFailed").word("request", p.request).number("code", p.code);
        } else {
          return ErrorText("disconnected").text("display", p.display);
        }
      },
      payload);
}

}  // namespace

DesktopError::DesktopError(Payload payload)
    : runtime::Error(describe(payload)), payload_(std::move(payload)) {}

DesktopError DesktopError::noSuchWindow(std::uint64_t window) {
  return DesktopError(NoSuchWindow{window});
}
DesktopError DesktopError::requestFailed(std::string request, std::int32_t code) {
  return DesktopError(RequestFailed{std::move(request), code});
}
DesktopError DesktopError::disconnected(std::string display) {
  return DesktopError(Disconnected{std::move(display)});
}

}  // namespace brindlet::desktop
