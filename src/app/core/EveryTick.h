#pragma once

#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/Clock.h"
#include "runtime/Task.h"

namespace brindlet::app {

// Calls `tick` at every period of the clock until it returns false or the task is cancelled.
// Callers hold their model weakly in `tick`, so the timer never keeps it alive.
runtime::TaskHandle everyTick(const boost::asio::any_io_executor& executor,
                              std::shared_ptr<runtime::Clock> clock, runtime::Duration period,
                              std::function<bool()> tick);

}  // namespace brindlet::app
