#include "agents/DiscoveryFile.h"

#include <system_error>

#include "runtime/Blocking.h"
#include "runtime/Files.h"

namespace brindlet::agents {
namespace {

bool holds(const std::filesystem::path& file, const std::string& text) {
  try {
    return runtime::readFile(file, text.size()) == text;
  } catch (const runtime::FileError&) {
    return false;  // missing, or longer than this run's text: not this run's file
  }
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
  runtime::mayBlock("removing the hook server's files");
  removeIfHolding(jsonPath(), jsonText());
  removeIfHolding(headersPath(), headersText());
}

}  // namespace brindlet::agents
