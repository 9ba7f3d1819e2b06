#pragma once

#include <filesystem>

#include "transport/PairingStore.h"

namespace brindlet::tools {

// Pairing keys as files of one folder (mode 0700): one file per identity (mode 0600), named by
// the identity's bytes in hexadecimal, holding the raw key; written whole and renamed into
// place. Keeps a scripted phone's pairings across runs. The files are read and written on the
// blocking worker.
class FolderPairingStore final : public transport::PairingStore {
 public:
  explicit FolderPairingStore(std::filesystem::path folder);

  boost::asio::awaitable<std::optional<transport::SymmetricKey>> key(std::string identity) override;
  boost::asio::awaitable<void> save(transport::SymmetricKey key, std::string identity) override;
  boost::asio::awaitable<void> remove(std::string identity) override;
  boost::asio::awaitable<std::vector<std::string>> identities() override;

 private:
  const std::filesystem::path folder_;
};

}  // namespace brindlet::tools
