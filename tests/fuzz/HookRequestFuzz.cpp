// Feeds arbitrary bytes to the hook request reader, whole and split in two at a point the input
// chooses: every input must end in an event, a refusal or a wait for more, never in a crash, and
// the split must not change the event. (A refusal may come a chunk later when the fault sits in
// a head that is not complete yet.)

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "agents/HookRequest.h"

namespace {

using brindlet::agents::HookRequestReader;

struct Outcome {
  HookRequestReader::Status status;
  std::optional<brindlet::agents::HookEvent> event;
};

Outcome read(brindlet::runtime::ByteView first, brindlet::runtime::ByteView second) {
  HookRequestReader reader;
  auto status = reader.feed(first);
  if (status == HookRequestReader::Status::needMore && !second.empty())
    status = reader.feed(second);
  if (status != HookRequestReader::Status::complete) return {status, std::nullopt};
  auto request = reader.take();
  (void)brindlet::agents::carriesToken(request, "T");
  return {status, brindlet::agents::hookEventOf(std::move(request))};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const brindlet::runtime::ByteView input(data, size);
  const auto whole = read(input, {});
  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  const auto split = read(input.first(cut), input.subspan(cut));
  if (whole.event != split.event) {
    std::fprintf(stderr, "split at %zu changes the event of: %s\n", cut,
                 std::string(reinterpret_cast<const char*>(data), size).c_str());
    std::abort();
  }
  return 0;
}
