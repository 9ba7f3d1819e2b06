#include "session/PaneDisplay.h"

#include <cmath>
#include <limits>

#include "streaming/DisplayError.h"

namespace brindlet::session {

namespace {

// Points times scale, rounded half away from zero; 0 below zero.
double pixels(double points, std::int64_t scale) {
  const double rounded = std::round(points * double(scale));
  return rounded > 0 ? rounded : 0;
}

std::uint32_t saturated(double value) {
  constexpr double most = std::numeric_limits<std::uint32_t>::max();
  return value >= most ? std::numeric_limits<std::uint32_t>::max() : std::uint32_t(value);
}

}  // namespace

std::string clientID(const protocol::Hello& hello) {
  return hello.device + "/" + hello.name;
}

bool showsDisplay(protocol::Mode mode) {
  return mode == protocol::Mode::monitor || mode == protocol::Mode::laptop;
}

streaming::VirtualDisplayConfig displayConfig(const protocol::Hello& hello,
                                              const protocol::Pane& pane) {
  const double width = pixels(pane.w, pane.scale);
  const double height = pixels(pane.h, pane.scale);
  if (width > kMaxPanePixels || height > kMaxPanePixels)
    throw streaming::DisplayError::invalidSize(saturated(width), saturated(height));
  streaming::VirtualDisplayConfig config;
  config.name = streaming::displayName(hello.name);
  config.serial = streaming::displaySerial(clientID(hello));
  config.pointWidth = std::uint32_t(width) / 2;
  config.pointHeight = std::uint32_t(height) / 2;
  config.scale = 2;
  config.refreshRate = kStreamFrameRate;
  return config;
}

streaming::EncoderSettings encoderSettings(const streaming::VirtualDisplayConfig& config,
                                           protocol::Codec codec, streaming::VideoQuality quality) {
  streaming::EncoderSettings settings;
  settings.codec = codec;
  settings.width = std::int32_t(config.pointWidth * config.scale);
  settings.height = std::int32_t(config.pointHeight * config.scale);
  settings.quality = quality;
  settings.frameRate = kStreamFrameRate;
  settings.maxKeyFrameInterval = 120;
  settings.maxKeyFrameIntervalDuration = 2.0;
  return settings;
}

protocol::DisplayReady displayReady(const streaming::VirtualDisplayConfig& config,
                                    std::uint32_t displayID, protocol::Codec codec) {
  protocol::DisplayReady ready;
  ready.w = config.pointWidth;
  ready.h = config.pointHeight;
  ready.scale = config.scale;
  ready.displayID = displayID;
  ready.codec = codec;
  ready.fps = kStreamFrameRate;
  return ready;
}

}  // namespace brindlet::session
