#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "profiles/UnknownKeys.h"
#include "profiles/Words.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// A live value source that a key's state or the glance reads: an accessibility value of the
// front app, the tail of a log file, whether a process runs, or a meeting timer.
struct Reader {
  enum class Kind { axValue, logTail, process, meetingTimer };

  static constexpr std::string_view typeWord = "reader";
  static constexpr auto allowedKeys =
      std::to_array<std::string_view>({"reader", "path", "lines", "name", "startOn", "format"});

  Kind reader = Kind::meetingTimer;
  std::optional<std::string> path{};     // axValue: accessibility path; logTail: file path
  std::optional<std::int64_t> lines{};   // logTail: how many last lines
  std::optional<std::string> name{};     // process: the process or app to look for
  std::optional<std::string> startOn{};  // carried unchanged
  std::optional<std::string> format{};   // carried unchanged

  // Strict decoding of an object that may also hold `extraKeys` beside the reader's own (a
  // key's state carries its reader's fields flat in its own object). Throws ProfileError
  // (unknownKey, unknownReaderKind) or JsonReadError.
  static Reader decode(const runtime::JsonValueReader& value, KeyList extraKeys = {});
  // Writes the reader's keys into `to`, keeping what it already holds.
  void encode(nlohmann::json& to) const;

  // The field the kind needs: a path, or a process name. Throws ProfileError::missingField.
  void validate() const;

  friend bool operator==(const Reader& a, const Reader& b);
};

template <>
struct Words<Reader::Kind> {
  static constexpr auto list =
      std::to_array<std::string_view>({"axValue", "logTail", "process", "meetingTimer"});
};

}  // namespace brindlet::profiles
