#pragma once

// Every allocation of a program that links AllocationCount.cpp is counted.

#include <cstddef>

namespace brindlet::bench {

struct Allocations {
  std::size_t count = 0;
  std::size_t bytes = 0;
};

// All allocations made so far, on every thread.
Allocations allocationsSoFar();

}  // namespace brindlet::bench
