#include "transport/Keychain.h"

#include "runtime/Log.h"

namespace brindlet::transport {

KeychainLog transportErrorLog() {
  return
      [](const std::string& line) { runtime::Logger::of("transport").error("%s", line.c_str()); };
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
    log(writeFailedLine(e));
    return false;
  }
}

std::string writeFailedLine(const secrets::SecretError& error) {
  return "Secret Service write failed: " + error.message();
}

std::string readFailedLine(const secrets::SecretError& error) {
  return "Secret Service read failed: " + error.message();
}

}  // namespace keychain
}  // namespace brindlet::transport
