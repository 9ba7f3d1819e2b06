#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/BufferPool.h"

namespace brindlet::streaming {

// One captured picture in NV12: a full-size luma plane, then a half-height plane of interleaved
// Cb/Cr pairs (BT.601, limited range). It lives in a pool buffer, so capture reuses a few buffers
// instead of allocating per frame; the buffer goes back to its pool when the last holder lets go.
// Capture fills it before sharing; after that it is read only, on any thread.
class PixelBuffer {
 public:
  // Plane sizes for a picture; width and height must be even and positive.
  static std::size_t byteSize(int width, int height, int stride);

  // A picture in `buffer`, which must hold byteSize(width, height, stride) bytes. Y rows are
  // `stride` bytes apart, UV rows too, and the UV plane starts at stride * height.
  PixelBuffer(runtime::BufferPool::Buffer buffer, int width, int height, int stride);

  int width() const { return width_; }
  int height() const { return height_; }
  int strideY() const { return stride_; }
  int strideUV() const { return stride_; }
  std::span<const std::uint8_t> planeY() const;
  std::span<const std::uint8_t> planeUV() const;
  // For the one who fills it, before it is shared.
  std::span<std::uint8_t> mutablePlaneY();
  std::span<std::uint8_t> mutablePlaneUV();

 private:
  runtime::BufferPool::Buffer buffer_;
  int width_;
  int height_;
  int stride_;
};

using SharedPixelBuffer = std::shared_ptr<const PixelBuffer>;

}  // namespace brindlet::streaming
