#include "secrets/MemorySecretStore.h"

#include <thread>

#include "runtime/Blocking.h"

namespace brindlet::secrets {

void MemorySecretStore::answer(const char* what) {
  runtime::mayBlock(what);
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(mutex_);
    delay = delay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
}

void MemorySecretStore::store(std::string_view service, std::string_view account,
                              runtime::ByteView secret) {
  answer("storing a secret");
  std::lock_guard lock(mutex_);
  if (writeFailure_) throw *writeFailure_;
  items_[{std::string(service), std::string(account)}] =
      runtime::Bytes(secret.begin(), secret.end());
}

runtime::Bytes MemorySecretStore::read(std::string_view service, std::string_view account) {
  answer("reading a secret");
  std::lock_guard lock(mutex_);
  if (readFailure_) throw *readFailure_;
  auto it = items_.find({std::string(service), std::string(account)});
  if (it == items_.end()) throw SecretError::itemNotFound();
  return it->second;
}

void MemorySecretStore::remove(std::string_view service, std::string_view account) {
  answer("removing a secret");
  std::lock_guard lock(mutex_);
  if (writeFailure_) throw *writeFailure_;
  if (items_.erase({std::string(service), std::string(account)}) == 0)
    throw SecretError::itemNotFound();
}

std::vector<std::string> MemorySecretStore::accounts(std::string_view service) {
  answer("listing secrets");
  std::lock_guard lock(mutex_);
  if (readFailure_) throw *readFailure_;
  std::vector<std::string> out;
  for (const auto& [key, secret] : items_)
    if (key.first == service) out.push_back(key.second);
  return out;
}

void MemorySecretStore::failWrites(std::optional<SecretError> error) {
  std::lock_guard lock(mutex_);
  writeFailure_ = std::move(error);
}

void MemorySecretStore::failReads(std::optional<SecretError> error) {
  std::lock_guard lock(mutex_);
  readFailure_ = std::move(error);
}

void MemorySecretStore::delayAnswers(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  delay_ = delay;
}

}  // namespace brindlet::secrets
