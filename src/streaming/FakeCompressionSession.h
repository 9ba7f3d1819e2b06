#pragma once

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "streaming/CompressionSession.h"

namespace brindlet::streaming {

// A compression session for tests. It records what it is asked, refuses what it is told to, and
// hands out only the outputs that the test sends through it.
class FakeCompressionSession final : public CompressionSession {
 public:
  struct Submission {
    SharedPixelBuffer buffer;
    protocol::MediaTime time;
    protocol::MediaTime duration;
    bool forceKeyframe = false;
  };
  // What the sessions a factory makes have in common; the test keeps it and reads it.
  struct Script {
    std::int32_t createStatus = 0;
    bool createNothing = false;  // status 0 yet no session
    std::int32_t prepareStatus = 0;
    std::int32_t encodeStatus = 0;
    std::map<CompressionProperty, std::int32_t> refusals;

    std::optional<SessionRequest> request;
    std::vector<std::pair<CompressionProperty, PropertyValue>> properties;
    bool prepared = false;
    std::vector<Submission> submissions;
    int completions = 0;
    SessionOutput output;  // what the encoder gave the session
  };

  // A factory whose sessions follow the script and record into it.
  static CompressionSessionFactory factory(std::shared_ptr<Script> script);

  explicit FakeCompressionSession(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) override;
  std::int32_t prepare() override;
  std::int32_t encode(SharedPixelBuffer buffer, protocol::MediaTime time,
                      protocol::MediaTime duration, bool forceKeyframe) override;
  boost::asio::awaitable<void> completeFrames() override;

 private:
  std::shared_ptr<Script> script_;
};

}  // namespace brindlet::streaming
