#include "agents/DiscoveryFile.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "runtime/Files.h"

namespace brindlet::agents {
namespace {

bool holds(const std::filesystem::path& file, const std::string& text) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return contents == text;
}

void removeIfHolding(const std::filesystem::path& file, const std::string& text) {
  std::error_code ignored;
  if (holds(file, text)) std::filesystem::remove(file, ignored);
}

}  // namespace

std::filesystem::path agentsFolder() {
  return runtime::userFolder(runtime::UserFolder::data) / "com.velvane.mac" / "agents";
}

std::string DiscoveryFile::jsonText() const {
  // A UUID token needs no JSON escaping.
  return "{\"port\":" + std::to_string(port) + ",\"token\":\"" + token + "\"}";
}

std::string DiscoveryFile::headersText() const {
  return "X-Brindlet-Token: " + token + "\n";
}

void DiscoveryFile::write() const {
  runtime::makeFolder(folder);
  runtime::writeFileAtomically(headersPath(), headersText());
  runtime::writeFileAtomically(jsonPath(), jsonText());
}

void DiscoveryFile::removeIfCurrent() const {
  removeIfHolding(jsonPath(), jsonText());
  removeIfHolding(headersPath(), headersText());
}

}  // namespace brindlet::agents
