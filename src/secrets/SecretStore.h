#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/Bytes.h"
#include "runtime/Error.h"

namespace brindlet::secrets {

// Why a secrets operation failed. "No such item" is its own case so that callers can tell an
// absent secret from one they could not reach.
class SecretError : public runtime::Error {
 public:
  struct ItemNotFound {
    friend bool operator==(const ItemNotFound&, const ItemNotFound&) = default;
  };
  struct Locked {
    std::string text;
    friend bool operator==(const Locked&, const Locked&) = default;
  };
  struct Unavailable {
    std::int32_t code;
    std::string text;
    friend bool operator==(const Unavailable&, const Unavailable&) = default;
  };
  struct Failed {
    std::int32_t code;
    std::string text;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  using Payload = std::variant<ItemNotFound, Locked, Unavailable, Failed>;

  static SecretError itemNotFound();
  static SecretError locked(std::string text = {});  // store locked, unlock refused
  static SecretError unavailable(std::int32_t code, std::string text);  // no secret service
  static SecretError failed(std::int32_t code, std::string text);

  const Payload& payload() const { return payload_; }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(payload_);
  }
  // The secret service's own words for the failure, for log lines: its error message where it
  // gave one, else the error's form.
  std::string message() const;

  friend bool operator==(const SecretError& a, const SecretError& b) {
    return a.payload_ == b.payload_;
  }

 private:
  explicit SecretError(Payload payload);
  Payload payload_;
};

// Secrets kept by the system on the user's behalf, one item per (service, account). Every
// operation is synchronous and may block for as long as the keyring takes (a locked one waits for
// the user): it is called on the secrets worker, never on a main loop. The roles over it (pairing
// keys, this device's identity, the signing key) are awaited and go to that worker themselves.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // Replaces the secret of an existing item, or adds the item.
  virtual void store(std::string_view service, std::string_view account,
                     runtime::ByteView secret) = 0;
  // Throws itemNotFound when the service has no item for the account.
  virtual runtime::Bytes read(std::string_view service, std::string_view account) = 0;
  // Throws itemNotFound when there was nothing to remove.
  virtual void remove(std::string_view service, std::string_view account) = 0;
  // The accounts of every item of the service, in the store's own order; empty when none.
  virtual std::vector<std::string> accounts(std::string_view service) = 0;
};

}  // namespace brindlet::secrets
