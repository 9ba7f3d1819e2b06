#pragma once

#include <memory>

#include "streaming/CompressionSession.h"

namespace brindlet::platform::media {

struct LibavSessionOptions {
  int threads = 0;  // the compressor's threads; 0 lets it choose
};

// Compression sessions on libavcodec: libx264 for H.264 (fed NV12 as it is), libx265 for HEVC
// (fed I420). Real time and nothing held back: every frame's packet comes out before the next
// frame goes in. Keyframes are IDR pictures, at the latest every keyframe interval of frames or
// of media time. Statuses are libavcodec's (negative AVERROR codes). Each session encodes on
// its own worker thread, which runs the output.
streaming::CompressionSessionFactory libavSessionFactory(LibavSessionOptions options = {});

}  // namespace brindlet::platform::media
