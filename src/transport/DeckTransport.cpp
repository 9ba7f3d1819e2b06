#include "transport/DeckTransport.h"

namespace brindlet::transport {

const runtime::Logger& transportLog() {
  return runtime::Logger::of("transport");
}

}  // namespace brindlet::transport
