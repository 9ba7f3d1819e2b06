#include "profiles/UrlSyntax.h"

namespace brindlet::profiles {
namespace {

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Unreserved and sub-delimiter characters, and ":" and "@", which may stand in every part.
bool isPlain(char c) {
  static constexpr std::string_view kMarks = "-._~!$&'()*+,;=:@";
  return isAlpha(c) || isDigit(c) || kMarks.find(c) != std::string_view::npos;
}

// Every character is plain, one of `extra`, or the start of a complete %-escape.
bool onlyURLCharacters(std::string_view text, std::string_view extra) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
    } else if (!isPlain(c) && extra.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool isScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text[0])) return false;
  for (char c : text)
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

bool isAuthority(std::string_view text) {
  const std::size_t at = text.rfind('@');
  if (at != std::string_view::npos) {
    if (!onlyURLCharacters(text.substr(0, at), "") ||
        text.substr(0, at).find('@') != std::string_view::npos)
      return false;
    text.remove_prefix(at + 1);
  }
  std::string_view port;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (char c : text.substr(1, close - 1))
      if (!isHex(c) && c != ':' && c != '.') return false;
    text.remove_prefix(close + 1);
    if (!text.empty() && text[0] != ':') return false;
    port = text.empty() ? text : text.substr(1);
  } else {
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      port = text.substr(colon + 1);
      text = text.substr(0, colon);
    }
    if (!onlyURLCharacters(text, "") || text.find('@') != std::string_view::npos) return false;
  }
  for (char c : port)
    if (!isDigit(c)) return false;
  return true;
}

}  // namespace

bool isValidURL(std::string_view text) {
  if (text.empty()) return false;
  const std::size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    if (!onlyURLCharacters(text.substr(hash + 1), "/?")) return false;
    text = text.substr(0, hash);
  }
  const std::size_t query = text.find('?');
  if (query != std::string_view::npos) {
    if (!onlyURLCharacters(text.substr(query + 1), "/?")) return false;
    text = text.substr(0, query);
  }
  // A colon before the first slash ends a scheme; a relative reference can't hold one there.
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon < text.find('/')) {
    if (!isScheme(text.substr(0, colon))) return false;
    text.remove_prefix(colon + 1);
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    const std::size_t slash = text.find('/');
    if (!isAuthority(text.substr(0, slash))) return false;
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  return onlyURLCharacters(text, "/");
}

}  // namespace brindlet::profiles
