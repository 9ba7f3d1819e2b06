#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brindlet::runtime {

// Texts in this system compare by Unicode canonical equivalence: "é" written precomposed equals
// "e" followed by a combining acute accent. All texts are UTF-8.

// The text in Normalization Form C; invalid UTF-8 sequences become U+FFFD.
std::string normalizedNFC(std::string_view text);

// True when the two texts are canonically equivalent. Equal bytes are equal without ICU.
bool canonicallyEqual(std::string_view a, std::string_view b);

// A hash that agrees with canonicallyEqual.
std::size_t canonicalHash(std::string_view text);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

// Length in UTF-16 code units, counting each scalar past U+FFFF as two; the text must be valid.
std::size_t utf16Length(std::string_view text);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);

// The first `count` user-perceived characters of a valid UTF-8 text (all of it when it has
// fewer), so that a text cut for display never splits a character.
std::string_view graphemePrefix(std::string_view text, std::size_t count);

// The text with every character in its full lower-case mapping, independent of the user's locale
// (one character may become several: "İ" becomes "i" and a combining dot). Invalid UTF-8
// sequences become U+FFFD.
std::string lowercased(std::string_view text);

// Whether `part` occurs in `text` when letter case is ignored under a locale (the user's
// default locale when none is given; Turkish and Azerbaijani fold dotted and dotless i their
// own way). An empty part occurs in every text.
bool containsIgnoringCase(std::string_view text, std::string_view part,
                          std::optional<std::string_view> locale = std::nullopt);

// A text holder whose equality and hash are canonical, for use as a map key.
struct CanonicalEqual {
  bool operator()(std::string_view a, std::string_view b) const { return canonicallyEqual(a, b); }
};
struct CanonicalHash {
  std::size_t operator()(std::string_view text) const { return canonicalHash(text); }
};

}  // namespace brindlet::runtime
