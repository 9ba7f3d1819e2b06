#include "transport/DeckTransport.h"

namespace brindlet::transport {

const runtime::Logger& transportLog() {
  static const runtime::Logger logger("transport");
  return logger;
}

}  // namespace brindlet::transport
