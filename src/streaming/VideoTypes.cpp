#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

using runtime::ErrorText;

std::string_view rawValue(VideoQuality quality) {
  switch (quality) {
    case VideoQuality::best:
      return "best";
    case VideoQuality::balanced:
      return "balanced";
    case VideoQuality::fast:
      return "fast";
  }
  return "balanced";
}

std::optional<VideoQuality> videoQualityFrom(std::string_view text) {
  for (auto quality : {VideoQuality::best, VideoQuality::balanced, VideoQuality::fast}) {
    if (rawValue(quality) == text) return quality;
  }
  return std::nullopt;
}

std::int64_t averageBitRate(VideoQuality quality) {
  switch (quality) {
    case VideoQuality::best:
      return 18'000'000;
    case VideoQuality::balanced:
      return 10'000'000;
    case VideoQuality::fast:
      return 5'000'000;
  }
  return 10'000'000;
}

std::int64_t bytesPerSecond(VideoQuality quality) {
  return averageBitRate(quality) / 8;
}

EncoderError EncoderError::sessionCreation(std::int32_t status) {
  EncoderError error(Case::sessionCreation, ErrorText("sessionCreation").number("", status));
  error.status_ = status;
  return error;
}

EncoderError EncoderError::property(std::string key, std::int32_t status) {
  EncoderError error(Case::property, ErrorText("property").text("", key).number("", status));
  error.key_ = std::move(key);
  error.status_ = status;
  return error;
}

EncoderError EncoderError::encode(std::int32_t status) {
  EncoderError error(Case::encode, ErrorText("encode").number("", status));
  error.status_ = status;
  return error;
}

EncoderError EncoderError::malformedOutput() {
  return EncoderError(Case::malformedOutput, "malformedOutput");
}

CaptureError CaptureError::displayNotFound(std::uint32_t id) {
  CaptureError error(Case::displayNotFound, ErrorText("displayNotFound").number("", id));
  error.id_ = id;
  return error;
}

CaptureError CaptureError::windowNotFound(std::uint32_t id) {
  CaptureError error(Case::windowNotFound, ErrorText("windowNotFound").number("", id));
  error.id_ = id;
  return error;
}

CaptureError CaptureError::notPermitted(std::string description) {
  CaptureError error(Case::notPermitted, ErrorText("notPermitted").text("", description));
  error.description_ = std::move(description);
  return error;
}

CaptureError CaptureError::streamFailed(std::string description) {
  CaptureError error(Case::streamFailed, ErrorText("streamFailed").text("", description));
  error.description_ = std::move(description);
  return error;
}

StreamError StreamError::encoder(EncoderError error) {
  StreamError stream(ErrorText("encoder").word("", error.text()));
  stream.encoder_ = std::move(error);
  return stream;
}

StreamError StreamError::capture(CaptureError error) {
  StreamError stream(ErrorText("capture").word("", error.text()));
  stream.capture_ = std::move(error);
  return stream;
}

}  // namespace brindlet::streaming
