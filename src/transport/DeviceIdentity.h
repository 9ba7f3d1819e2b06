#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "secrets/SecretStore.h"
#include "transport/Keychain.h"

namespace brindlet::transport {

// This device's identity: a UUID text kept under account "uid" of a service, created on first
// use. The application makes one for the life of the process: while the store refuses to keep
// a new identity, or cannot be read, the identity this object handed out stays the same, so
// paired peers keep recognising this device.
class DeviceIdentity {
 public:
  explicit DeviceIdentity(std::shared_ptr<secrets::SecretStore> secrets,
                          KeychainLog log = transportErrorLog());

  // A blocking call: it reads and may write the secret store.
  std::string current(const std::string& service);

 private:
  // A new random identity: 36 upper-case hexadecimal characters in groups of 8-4-4-4-12.
  static std::string newUUIDString();
  std::string fallback(const std::string& service);

  std::shared_ptr<secrets::SecretStore> secrets_;
  KeychainLog log_;
  std::mutex mutex_;
  std::map<std::string, std::string> handedOut_;  // by service
};

}  // namespace brindlet::transport
