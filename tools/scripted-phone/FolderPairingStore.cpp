#include "FolderPairingStore.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "runtime/Blocking.h"
#include "runtime/Bytes.h"
#include "runtime/Files.h"

namespace brindlet::tools {
namespace {

namespace asio = boost::asio;
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

fs::path fileOf(const fs::path& folder, const std::string& identity) {
  return folder / (hex(identity) + kSuffix);
}

}  // namespace

// Every call is one step on the blocking worker, which runs them one at a time.

FolderPairingStore::FolderPairingStore(fs::path folder) : folder_(std::move(folder)) {
  runtime::makeFolder(folder_);
}

asio::awaitable<std::optional<transport::SymmetricKey>> FolderPairingStore::key(
    std::string identity) {
  auto read = [file = fileOf(folder_, identity)]() -> std::optional<transport::SymmetricKey> {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    runtime::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return std::nullopt;
    return transport::SymmetricKey(bytes);
  };
  co_return co_await runtime::offloadBlocking(std::move(read));
}

asio::awaitable<void> FolderPairingStore::save(transport::SymmetricKey key, std::string identity) {
  auto write = [file = fileOf(folder_, identity), key = std::move(key)] {
    try {
      runtime::writeFileAtomically(file, runtime::asText(key.bytes()));
    } catch (const fs::filesystem_error& e) {
      std::fprintf(stderr, "Couldn't save the pairing key: %s\n", e.what());
    }
  };
  co_await runtime::offloadBlocking(std::move(write));
}

asio::awaitable<void> FolderPairingStore::remove(std::string identity) {
  auto forget = [file = fileOf(folder_, identity)] {
    std::error_code ignored;
    fs::remove(file, ignored);
  };
  co_await runtime::offloadBlocking(std::move(forget));
}

asio::awaitable<std::vector<std::string>> FolderPairingStore::identities() {
  auto list = [folder = folder_] {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const auto name = entry.path().filename().string();
      if (!name.ends_with(kSuffix)) continue;
      if (auto identity = unhex(name.substr(0, name.size() - std::string(kSuffix).size()))) {
        out.push_back(*identity);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  co_return co_await runtime::offloadBlocking(std::move(list));
}

}  // namespace brindlet::tools
