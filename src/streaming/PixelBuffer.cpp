#include "streaming/PixelBuffer.h"

#include <stdexcept>

namespace brindlet::streaming {

std::size_t PixelBuffer::byteSize(int width, int height, int stride) {
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0 || stride < width) {
    throw std::invalid_argument("NV12 needs an even, positive size and a stride of the width");
  }
  return std::size_t(stride) * std::size_t(height) * 3 / 2;
}

PixelBuffer::PixelBuffer(runtime::BufferPool::Buffer buffer, int width, int height, int stride)
    : buffer_(std::move(buffer)), width_(width), height_(height), stride_(stride) {
  if (buffer_.payload().size() < byteSize(width, height, stride)) {
    throw std::invalid_argument("pool buffer too small for the picture");
  }
}

std::span<const std::uint8_t> PixelBuffer::planeY() const {
  auto bytes = buffer_.payload();
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), std::size_t(stride_) * height_};
}

std::span<const std::uint8_t> PixelBuffer::planeUV() const {
  auto bytes = buffer_.payload();
  auto offset = std::size_t(stride_) * height_;
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset,
          std::size_t(stride_) * height_ / 2};
}

std::span<std::uint8_t> PixelBuffer::mutablePlaneY() {
  auto y = planeY();
  return {const_cast<std::uint8_t*>(y.data()), y.size()};
}

std::span<std::uint8_t> PixelBuffer::mutablePlaneUV() {
  auto uv = planeUV();
  return {const_cast<std::uint8_t*>(uv.data()), uv.size()};
}

}  // namespace brindlet::streaming
