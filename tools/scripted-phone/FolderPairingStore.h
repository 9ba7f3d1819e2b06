#pragma once

#include <filesystem>
#include <mutex>

#include "transport/PairingStore.h"

namespace brindlet::tools {

// Pairing keys as files of one folder (mode 0700): one file per identity (mode 0600), named by
// the identity's bytes in hexadecimal, holding the raw key; written whole and renamed into
// place. Keeps a scripted phone's pairings across runs.
class FolderPairingStore final : public transport::PairingStore {
 public:
  explicit FolderPairingStore(std::filesystem::path folder);

  std::optional<transport::SymmetricKey> key(const std::string& identity) override;
  void save(const transport::SymmetricKey& key, const std::string& identity) override;
  void remove(const std::string& identity) override;
  std::vector<std::string> identities() override;

 private:
  std::filesystem::path fileOf(const std::string& identity) const;

  const std::filesystem::path folder_;
  std::mutex mutex_;
};

}  // namespace brindlet::tools
