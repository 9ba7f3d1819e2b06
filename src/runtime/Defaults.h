#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "runtime/Subscription.h"

namespace brindlet::runtime {

// How a save went: nothing when every change made so far is kept, else why not, in a few words.
using SaveFailure = std::optional<std::string>;

// The user's stored settings: booleans, integers and texts by key. A value stored under another
// type than the one asked for reads as absent.
class Defaults {
 public:
  virtual ~Defaults() = default;
  virtual std::optional<bool> boolean(std::string_view key) const = 0;
  virtual std::optional<std::int64_t> integer(std::string_view key) const = 0;
  virtual std::optional<std::string> text(std::string_view key) const = 0;
  virtual void setBoolean(std::string_view key, bool value) = 0;
  virtual void setInteger(std::string_view key, std::int64_t value) = 0;
  virtual void setText(std::string_view key, std::string value) = 0;
  virtual void remove(std::string_view key) = 0;
  // Calls `changed` on the owner's loop whenever the key's stored value changes, also by another
  // process: at once for changes made through this object. The subscription ends when the
  // returned object is destroyed.
  [[nodiscard]] virtual Subscription observe(std::string key, std::function<void()> changed) = 0;
  // Keeps every change made so far now, without waiting for the store's own time, and tells how
  // that went. Changes are kept whether or not anyone asks: a save only hurries them and answers.
  virtual boost::asio::awaitable<SaveFailure> save() = 0;
};

// One stored value.
using DefaultsValue = std::variant<bool, std::int64_t, std::string>;
using DefaultsValues = std::map<std::string, DefaultsValue, std::less<>>;

// Observers by key. Telling one key's observers calls each that is still subscribed when its
// turn comes, so a callback may end its own or another subscription.
class DefaultsObservers {
 public:
  DefaultsObservers();
  ~DefaultsObservers();
  DefaultsObservers(const DefaultsObservers&) = delete;
  DefaultsObservers& operator=(const DefaultsObservers&) = delete;

  Subscription add(std::string key, std::function<void()> changed);
  void tell(std::string_view key) const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// The value under `key` if it holds a T.
template <class T>
std::optional<T> storedAs(const DefaultsValues& values, std::string_view key) {
  auto found = values.find(key);
  if (found == values.end()) return std::nullopt;
  if (auto* value = std::get_if<T>(&found->second)) return *value;
  return std::nullopt;
}

}  // namespace brindlet::runtime
