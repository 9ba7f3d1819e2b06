// The shape scanner and the JSON reader against real JSON nobody here wrote: the files of
// Debian's json-schema-test-suite package. A strict pre-scan must never refuse what the decoder
// reads, and the reader must take each file, whole or cut, exactly as the JSON library does.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

#include "profiles/JSONShapeScanner.h"
#include "profiles/ProfileError.h"
#include "profiles/ProfileTestSupport.h"
#include "runtime/Json.h"

namespace brindlet::profiles {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = "/usr/share/json-schema-test-suite";

std::vector<fs::path> corpusFiles() {
  std::vector<fs::path> files;
  if (!fs::is_directory(kCorpus)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(kCorpus))
    if (entry.is_regular_file() && entry.path().extension() == ".json") files.push_back(entry);
  std::sort(files.begin(), files.end());
  return files;
}

// The reader's value, or none when it refuses the bytes.
std::optional<nlohmann::json> read(std::string_view bytes) {
  try {
    return runtime::JsonDocument(bytes).value();
  } catch (const runtime::JsonReadError&) {
    return std::nullopt;
  }
}

nlohmann::json libraryRead(std::string_view bytes) {
  return nlohmann::json::parse(bytes, nullptr, false);  // discarded when refused
}

// The scanner's verdict: empty when the bytes pass, else the error's form.
std::string scanned(std::string_view bytes) {
  try {
    JSONShapeScanner::scanDocument(bytes);
  } catch (const ProfileError& e) {
    return e.text();
  }
  return {};
}

// Every file whole: all three take it, to the same value. Then every file cut at many places,
// and with pieces cut out of it: whenever the scanner refuses the result, the decoder must refuse
// it too, and the reader decides as the library does.
TEST(JsonCorpus, ScannerReaderAndLibraryAgree) {
  const auto files = corpusFiles();
  ASSERT_GT(files.size(), 100u) << "json-schema-test-suite is not installed (scripts/setup)";
  for (const auto& path : files) {
    const std::string bytes = test::contents(path);
    EXPECT_EQ(read(bytes), std::optional(libraryRead(bytes))) << path;
    EXPECT_EQ(scanned(bytes), "") << path;
    const std::size_t step = std::max<std::size_t>(1, bytes.size() / 64);
    for (std::size_t cut = 0; cut < bytes.size(); cut += step) {
      for (const std::string& variant :
           {bytes.substr(0, cut),
            bytes.substr(0, cut) + bytes.substr(std::min(bytes.size(), cut + 7))}) {
        const nlohmann::json theirs = libraryRead(variant);
        EXPECT_EQ(read(variant).has_value(), !theirs.is_discarded()) << path << " cut at " << cut;
        if (!scanned(variant).empty()) {
          EXPECT_TRUE(theirs.is_discarded()) << path << " cut at " << cut;
        }
      }
    }
  }
}

}  // namespace
}  // namespace brindlet::profiles
