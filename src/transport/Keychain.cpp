#include "transport/Keychain.h"

#include <iostream>

namespace brindlet::transport {

KeychainLog standardErrorLog() {
  return [](const std::string& line) {
    std::cerr << "com.velvane.mac[transport] error: " << line << '\n';
  };
}

namespace keychain {

std::optional<runtime::Bytes> readData(secrets::SecretStore& store, std::string_view service,
                                       std::string_view account) {
  try {
    return store.read(service, account);
  } catch (const secrets::SecretError&) {
    return std::nullopt;
  }
}

std::vector<std::string> allAccounts(secrets::SecretStore& store, std::string_view service) {
  try {
    return store.accounts(service);
  } catch (const secrets::SecretError&) {
    return {};
  }
}

bool writeData(secrets::SecretStore& store, runtime::ByteView data, std::string_view service,
               std::string_view account, const KeychainLog& log) {
  try {
    store.store(service, account, data);
    return true;
  } catch (const secrets::SecretError& e) {
    log(writeFailedLine(e.status()));
    return false;
  }
}

std::string writeFailedLine(std::int32_t status) {
  return "Keychain write failed: " + std::to_string(status);
}

std::string readFailedLine(std::int32_t status) {
  return "Keychain read failed: " + std::to_string(status);
}

}  // namespace keychain
}  // namespace brindlet::transport
