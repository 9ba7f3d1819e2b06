#include "streaming/FakeCompressionSession.h"

namespace brindlet::streaming {

CompressionSessionFactory FakeCompressionSession::factory(std::shared_ptr<Script> script) {
  return [script](const SessionRequest& request, SessionOutput output) {
    script->request = request;
    script->output = std::move(output);
    if (script->createStatus != 0 || script->createNothing) {
      return SessionCreation{script->createStatus, nullptr};
    }
    return SessionCreation{0, std::make_unique<FakeCompressionSession>(script)};
  };
}

std::int32_t FakeCompressionSession::setProperty(CompressionProperty key,
                                                 const PropertyValue& value) {
  script_->properties.emplace_back(key, value);
  const auto refusal = script_->refusals.find(key);
  return refusal == script_->refusals.end() ? 0 : refusal->second;
}

std::int32_t FakeCompressionSession::prepare() {
  script_->prepared = true;
  return script_->prepareStatus;
}

std::int32_t FakeCompressionSession::encode(SharedPixelBuffer buffer, protocol::MediaTime time,
                                            protocol::MediaTime duration, bool forceKeyframe) {
  if (script_->encodeStatus != 0) return script_->encodeStatus;
  script_->submissions.push_back({std::move(buffer), time, duration, forceKeyframe});
  return 0;
}

boost::asio::awaitable<void> FakeCompressionSession::completeFrames() {
  ++script_->completions;
  co_return;
}

}  // namespace brindlet::streaming
