#include "platform/linux/x11/XSettings.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <boost/asio/this_coro.hpp>

#include "platform/linux/x11/X11Properties.h"
#include "runtime/Task.h"

namespace brindlet::platform {
namespace {

// Reads the settings manager's property bytes in their own byte order.
class SettingsReader {
 public:
  explicit SettingsReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

  bool has(std::size_t n) const { return at_ <= bytes_.size() && n <= bytes_.size() - at_; }
  std::uint32_t number(std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const std::uint32_t byte = bytes_[at_ + (mostFirst ? i : width - 1 - i)];
      value = (value << 8) | byte;
    }
    at_ += width;
    return value;
  }
  std::string_view text(std::size_t n) {
    const std::string_view t(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    return t;
  }
  void skip(std::size_t n) { at_ += n; }
  static std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t(3); }

  bool mostFirst = false;

 private:
  std::span<const unsigned char> bytes_;
  std::size_t at_ = 0;
};

enum SettingType : std::uint8_t { kInteger = 0, kString = 1, kColor = 2 };

std::optional<std::int32_t> readInterval(Display* d) {
  const std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(d));
  const Window owner = XGetSelectionOwner(d, XInternAtom(d, selection.c_str(), False));
  if (owner == None) return std::nullopt;
  const auto property = readProperty(d, owner, XInternAtom(d, "_XSETTINGS_SETTINGS", False));
  if (!property || property->format != 8) return std::nullopt;
  return xsettingsInteger(property->bytes, "Net/DoubleClickTime");
}

}  // namespace

std::optional<std::int32_t> xsettingsInteger(std::span<const unsigned char> settings,
                                             std::string_view name) {
  SettingsReader in(settings);
  if (!in.has(12)) return std::nullopt;
  in.mostFirst = settings[0] == 1;  // MSBFirst
  in.skip(8);                       // byte order, padding, serial
  const std::uint32_t count = in.number(4);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!in.has(4)) return std::nullopt;
    const auto type = static_cast<std::uint8_t>(in.number(1));
    in.skip(1);
    const std::size_t nameLength = in.number(2);
    if (!in.has(SettingsReader::padded(nameLength) + 4)) return std::nullopt;
    const auto settingName = in.text(nameLength);
    in.skip(SettingsReader::padded(nameLength) - nameLength + 4);  // padding, last-change serial
    if (type == kInteger) {
      if (!in.has(4)) return std::nullopt;
      const auto value = static_cast<std::int32_t>(in.number(4));
      if (settingName == name) return value;
    } else if (type == kString) {
      if (!in.has(4)) return std::nullopt;
      const std::size_t length = in.number(4);
      if (!in.has(SettingsReader::padded(length))) return std::nullopt;
      in.skip(SettingsReader::padded(length));
    } else if (type == kColor) {
      if (!in.has(8)) return std::nullopt;
      in.skip(8);
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

X11DoubleClickInterval::X11DoubleClickInterval(std::shared_ptr<X11Connection> connection,
                                               boost::asio::any_io_executor owner)
    : connection_(std::move(connection)), owner_(std::move(owner)) {}

boost::asio::awaitable<std::unique_ptr<X11DoubleClickInterval>> X11DoubleClickInterval::open(
    std::string display) {
  // Named before they are awaited: g++ 12 may destroy temporaries of a co_await operand twice.
  std::string threadName = "xsettings";
  auto opening = X11Connection::open(std::move(display), std::move(threadName));
  std::shared_ptr<X11Connection> connection = co_await std::move(opening);
  auto owner = co_await boost::asio::this_coro::executor;
  std::unique_ptr<X11DoubleClickInterval> interval(
      new X11DoubleClickInterval(std::move(connection), std::move(owner)));
  co_await interval->refreshed();
  co_return interval;
}

boost::asio::awaitable<runtime::Duration> X11DoubleClickInterval::refreshed() {
  auto refreshing = refresh(connection_, state_);
  co_await std::move(refreshing);
  co_return std::chrono::milliseconds(state_->milliseconds.load());
}

boost::asio::awaitable<void> X11DoubleClickInterval::refresh(
    std::shared_ptr<X11Connection> connection, std::shared_ptr<State> state) {
  std::optional<std::int32_t> value;
  try {
    value = co_await connection->call(readInterval);
  } catch (const std::exception&) {
    // A manager that went away mid-read, or a lost display: the fallback holds.
  }
  state->milliseconds = value && *value > 0 ? *value : kFallbackMilliseconds;
}

runtime::Duration X11DoubleClickInterval::operator()() {
  const runtime::Duration current = std::chrono::milliseconds(state_->milliseconds.load());
  if (!state_->reading.exchange(true)) {
    auto state = state_;
    runtime::spawn(owner_, refresh(connection_, state_),
                   [state](std::exception_ptr) { state->reading = false; });
  }
  return current;
}

}  // namespace brindlet::platform
