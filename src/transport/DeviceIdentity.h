#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

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

  // Reads, and may write, the secret store on the secrets worker; resumes the caller on its own
  // executor.
  boost::asio::awaitable<std::string> current(std::string service);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::transport
