#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Bytes.h"
#include "secrets/SecretStore.h"

namespace brindlet::transport {

// Where the keychain routines report a failed write; the transport's error log.
using KeychainLog = std::function<void(const std::string& line)>;
KeychainLog transportErrorLog();

// The routines that pairing records and the device identity share. None throws: a read that
// fails gives nothing, a failed write is logged with the secret service's own message.
namespace keychain {

// The stored bytes, or nothing when the item is absent or cannot be read.
std::optional<runtime::Bytes> readData(secrets::SecretStore& store, std::string_view service,
                                       std::string_view account);
// The accounts of every item of the service in the store's order; empty on any failure.
std::vector<std::string> allAccounts(secrets::SecretStore& store, std::string_view service);
// Replaces or adds the item; false (after logging) when the store refused it.
bool writeData(secrets::SecretStore& store, runtime::ByteView data, std::string_view service,
               std::string_view account, const KeychainLog& log);

std::string writeFailedLine(const secrets::SecretError& error);
std::string readFailedLine(const secrets::SecretError& error);

}  // namespace keychain
}  // namespace brindlet::transport
