#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "deck/FrontApp.h"
#include "profiles/Reader.h"

namespace brindlet::deck {

// What a live reader yields for a key: a value text and the lines behind it, each optional.
struct ReaderValue {
  std::optional<std::string> value;
  std::optional<std::vector<std::string>> lines;

  friend bool operator==(const ReaderValue&, const ReaderValue&) = default;
};

// Live values for key looks. A read never fails: every problem yields absent parts.
class ReaderSource {
 public:
  virtual ~ReaderSource() = default;
  virtual boost::asio::awaitable<ReaderValue> read(profiles::Reader reader,
                                                   std::optional<FrontApp> app) = 0;
};

}  // namespace brindlet::deck
