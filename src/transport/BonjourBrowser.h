#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/AsyncQueue.h"
#include "runtime/FailureStreak.h"
#include "transport/BonjourService.h"

namespace brindlet::transport {

using BonjourSnapshots = runtime::AsyncQueue<std::vector<BonjourService>>;

namespace BonjourBrowser {

// Browses the service type and streams complete snapshots of the visible services, sorted by
// name, never changes; nothing is dropped however slow the consumer. The browse runs as long as
// the stream: cancelling or dropping the stream stops it, and a failed browse (or one that could
// not start) ends the stream after its log line. The browse is torn down on `executor`, never on
// the discovery's own thread, which must outlive the stream. Failures and recovery are logged
// through `failures`: a caller that browses again after each failure passes the same one every
// time, so that a missing daemon is an error once, not once per browse.
std::shared_ptr<BonjourSnapshots> browse(ServiceDiscovery& discovery, const std::string& type,
                                         const boost::asio::any_io_executor& executor,
                                         std::shared_ptr<runtime::FailureStreak> failures = {});

}  // namespace BonjourBrowser
}  // namespace brindlet::transport
