#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

namespace brindlet::streaming {

// The extra display one phone asks for.
struct VirtualDisplayConfig {
  std::string name;  // as the desktop shows it (the RandR monitor's name)
  std::uint32_t serial = 0;
  std::uint32_t pointWidth = 0;
  std::uint32_t pointHeight = 0;
  std::uint32_t scale = 1;  // pixels per point
  double refreshRate = 60;  // hertz

  friend bool operator==(const VirtualDisplayConfig&, const VirtualDisplayConfig&) = default;
};

// Whether virtual displays can be made at all here, and if not, why.
class VirtualDisplayAvailability {
 public:
  VirtualDisplayAvailability() = default;  // available
  static VirtualDisplayAvailability available() { return {}; }
  static VirtualDisplayAvailability unavailable(std::string reason) {
    return VirtualDisplayAvailability(std::move(reason));
  }
  bool isAvailable() const { return !reason_; }
  // The reason; empty when available.
  std::string reason() const { return reason_.value_or(""); }

  friend bool operator==(const VirtualDisplayAvailability&,
                         const VirtualDisplayAvailability&) = default;

 private:
  explicit VirtualDisplayAvailability(std::optional<std::string> reason)
      : reason_(std::move(reason)) {}
  std::optional<std::string> reason_;
};

// Every display of ours is named "<phone> (Brindlet)": the mark tells what an earlier run left
// on the desktop from what the desktop's own.
inline constexpr std::string_view kDisplayNameMark = " (Brindlet)";
// The display name for a phone's name.
std::string displayName(std::string_view phoneName);
// Whether the name (a monitor's) is one of ours: something before the mark, and the mark at the
// end.
bool isOurDisplayName(std::string_view name);

// The 32-bit FNV-1a hash of the text's bytes, never 0 (0 becomes 1): a display's serial.
std::uint32_t displaySerial(std::string_view text);

// How the host session gets its extra display.
class DisplayManaging {
 public:
  // Told, on the main loop, that a display the owner holds was made again under `replacement`
  // (possibly the same number), or lost for good (no replacement).
  using ReplacedHandler =
      std::function<void(std::uint32_t old, std::optional<std::uint32_t> replacement)>;

  virtual ~DisplayManaging() = default;
  // The display's id; throws DisplayError.
  virtual boost::asio::awaitable<std::uint32_t> attach(VirtualDisplayConfig config) = 0;
  // Never fails.
  virtual boost::asio::awaitable<void> detach() = 0;
  virtual void onReplaced(ReplacedHandler handler) = 0;
};

}  // namespace brindlet::streaming
