#include "runtime/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <functional>
#include <memory>

namespace brindlet::runtime {
namespace {

bool isAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || n == nullptr) std::terminate();  // ICU's data is part of the library
  return *n;
}

}  // namespace

std::string normalizedNFC(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  const auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  if (nfc().isNormalized(source, status) && U_SUCCESS(status)) {
    std::string out;
    source.toUTF8String(out);
    return out;
  }
  status = U_ZERO_ERROR;
  icu::UnicodeString normalized = nfc().normalize(source, status);
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return normalizedNFC(a) == normalizedNFC(b);
}

std::size_t canonicalHash(std::string_view text) {
  if (isAscii(text)) return std::hash<std::string_view>{}(text);
  return std::hash<std::string>{}(normalizedNFC(text));
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < text.size()) {
    const unsigned char c = byte(i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::size_t graphemeCount(std::string_view text) {
  if (text.empty()) return 0;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) std::terminate();
  const auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  it->setText(source);
  std::size_t count = 0;
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
  return count;
}

std::string_view graphemePrefix(std::string_view text, std::size_t count) {
  if (count == 0) return text.substr(0, 0);
  // Over UTF-8 directly, so that the boundaries are byte offsets into the text.
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> source(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status),
      utext_close);
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) std::terminate();
  it->setText(source.get(), status);
  if (U_FAILURE(status)) std::terminate();
  std::size_t seen = 0;
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) {
    if (++seen == count) return text.substr(0, static_cast<std::size_t>(p));
  }
  return text;
}

std::string lowercased(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  source.toLower(icu::Locale::getRoot());
  std::string out;
  source.toUTF8String(out);
  return out;
}

namespace {

// Full case folding, with the Turkic rules for dotted and dotless i when the locale asks for
// them, then NFC, so that canonically equivalent texts fold alike.
icu::UnicodeString folded(std::string_view text, bool turkic) {
  auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  source.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString normalized = nfc().normalize(source, status);
  return U_SUCCESS(status) ? normalized : source;
}

}  // namespace

bool containsIgnoringCase(std::string_view text, std::string_view part,
                          std::optional<std::string_view> locale) {
  if (part.empty()) return true;
  const std::string language = locale ? icu::Locale(std::string(*locale).c_str()).getLanguage()
                                      : icu::Locale::getDefault().getLanguage();
  const bool turkic = language == "tr" || language == "az";
  return folded(text, turkic).indexOf(folded(part, turkic)) >= 0;
}

}  // namespace brindlet::runtime
