#pragma once

#include <cstdint>
#include <string>

#include "protocol/DisplayMessages.h"
#include "protocol/LinkMessages.h"
#include "streaming/VideoTypes.h"
#include "streaming/VirtualDisplay.h"

namespace brindlet::session {

// What the phone's pane makes of the computer's extra display and its stream.

// Names the same phone across links: its device model, a slash and its name.
std::string clientID(const protocol::Hello& hello);

// Whether a pane of this mode shows the computer's display (monitor, laptop).
bool showsDisplay(protocol::Mode mode);

// The largest pixel side a pane may ask for; larger panes would overflow the display's and the
// encoder's sizes.
inline constexpr std::uint32_t kMaxPanePixels = 8192;
inline constexpr int kStreamFrameRate = 60;

// The display for a pane: the pane's pixels (points times scale, rounded half away from zero)
// made even, at scale 2, 60 Hz, named and numbered after the phone. Throws
// DisplayError::invalidSize when a pixel side passes kMaxPanePixels.
streaming::VirtualDisplayConfig displayConfig(const protocol::Hello& hello,
                                              const protocol::Pane& pane);

streaming::EncoderSettings encoderSettings(const streaming::VirtualDisplayConfig& config,
                                           protocol::Codec codec, streaming::VideoQuality quality);

protocol::DisplayReady displayReady(const streaming::VirtualDisplayConfig& config,
                                    std::uint32_t displayID, protocol::Codec codec);

}  // namespace brindlet::session
