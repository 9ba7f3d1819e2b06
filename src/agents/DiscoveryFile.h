#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace brindlet::agents {

// The agents folder: the data folder's "com.velvane.mac/agents".
std::filesystem::path agentsFolder();

// How the hook script reaches this run's hook server: "server.json" with the port and token in
// the compact form the script's sed patterns expect, and "server.headers" with the token's
// header line, which the script hands to curl as a file. Both are private to the user.
struct DiscoveryFile {
  std::filesystem::path folder;
  std::uint16_t port = 0;
  std::string token;

  std::filesystem::path jsonPath() const { return folder / "server.json"; }
  std::filesystem::path headersPath() const { return folder / "server.headers"; }
  std::string jsonText() const;
  std::string headersText() const;

  // Creates the folder (0700) and writes both files atomically (0600), the headers first so that
  // a script that finds server.json finds its token too. Throws filesystem_error.
  void write() const;
  // Removes each file that still holds this run's port and token; files another run wrote stay.
  void removeIfCurrent() const;
};

}  // namespace brindlet::agents
