#pragma once

#include <string>

// The 60-key profile the load benchmark reads, and the names of its two runs.
const std::string& sixtyKeyProfile();
inline constexpr const char* kLoadBenchmark = "profileLoad60Keys";
inline constexpr const char* kParseSixtyBenchmark = "nlohmannParse60Keys";
