#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace brindlet::profiles {

// The closed vocabularies of the profile format. Each enum specializes Words<E> with its words
// in case order; a word is matched exactly (case-sensitive, untrimmed).
template <class E>
struct Words;

template <class E>
constexpr std::string_view wordOf(E value) {
  return Words<E>::list[static_cast<std::size_t>(value)];
}

// None for a word that is not one of E's.
template <class E>
constexpr std::optional<E> fromWord(std::string_view word) {
  for (std::size_t i = 0; i < Words<E>::list.size(); ++i)
    if (Words<E>::list[i] == word) return static_cast<E>(i);
  return std::nullopt;
}

template <class E>
constexpr auto allCases() {
  std::array<E, Words<E>::list.size()> cases{};
  for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = static_cast<E>(i);
  return cases;
}

}  // namespace brindlet::profiles
