#pragma once

#include <string>

#include <nlohmann/json.hpp>

// One key as people write them: a shortcut and a log-driven ring.
nlohmann::json benchKey(int k);

// The 60-key profile the load benchmark reads, and the names of its two runs.
const std::string& sixtyKeyProfile();
inline constexpr const char* kLoadBenchmark = "profileLoad60Keys";
inline constexpr const char* kParseSixtyBenchmark = "nlohmannParse60Keys";
