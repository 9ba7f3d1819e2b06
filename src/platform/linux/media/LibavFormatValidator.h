#pragma once

#include "protocol/SampleBufferBuilder.h"

namespace brindlet::platform::media {

// Opens a libavcodec decoder with the parameter sets as its extradata, strict about errors in
// them, and reports libavcodec's status (a negative AVERROR code) when it won't open.
class LibavFormatValidator final : public protocol::FormatValidator {
 public:
  std::int32_t validate(protocol::Codec codec,
                        std::span<const runtime::Bytes> parameterSets) const override;
};

}  // namespace brindlet::platform::media
