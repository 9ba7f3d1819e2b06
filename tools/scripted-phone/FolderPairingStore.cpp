#include "FolderPairingStore.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "runtime/Bytes.h"
#include "runtime/Files.h"

namespace brindlet::tools {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSuffix = ".key";

std::string hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char ch : text) {
    out += digits[ch >> 4];
    out += digits[ch & 15];
  }
  return out;
}

std::optional<std::string> unhex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto byte = text.substr(i, 2);
    if (byte.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    out += static_cast<char>(std::stoi(byte, nullptr, 16));
  }
  return out;
}

}  // namespace

FolderPairingStore::FolderPairingStore(fs::path folder) : folder_(std::move(folder)) {
  runtime::makeFolder(folder_);
}

fs::path FolderPairingStore::fileOf(const std::string& identity) const {
  return folder_ / (hex(identity) + kSuffix);
}

std::optional<transport::SymmetricKey> FolderPairingStore::key(const std::string& identity) {
  std::lock_guard lock(mutex_);
  std::ifstream in(fileOf(identity), std::ios::binary);
  if (!in) return std::nullopt;
  runtime::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) return std::nullopt;
  return transport::SymmetricKey(bytes);
}

void FolderPairingStore::save(const transport::SymmetricKey& key, const std::string& identity) {
  std::lock_guard lock(mutex_);
  try {
    runtime::writeFileAtomically(fileOf(identity), runtime::asText(key.bytes()));
  } catch (const fs::filesystem_error& e) {
    std::fprintf(stderr, "Couldn't save the pairing key: %s\n", e.what());
  }
}

void FolderPairingStore::remove(const std::string& identity) {
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  fs::remove(fileOf(identity), ignored);
}

std::vector<std::string> FolderPairingStore::identities() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    const auto name = entry.path().filename().string();
    if (!name.ends_with(kSuffix)) continue;
    if (auto identity = unhex(name.substr(0, name.size() - std::string(kSuffix).size()))) {
      out.push_back(*identity);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace brindlet::tools
