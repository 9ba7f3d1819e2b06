#include "secrets/SecretStore.h"

namespace brindlet::secrets {
namespace {

using runtime::ErrorText;

std::string describe(const SecretError::Payload& payload) {
  using E = SecretError;
  return std::visit(
      [](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, E::ItemNotFound>) {
          return ErrorText("itemNotFound");
        } else if constexpr (std::is_same_v<T, E::Locked>) {
          return ErrorText("locked");
        } else if constexpr (std::is_same_v<T, E::Unavailable>) {
          return ErrorText("unavailable").number("code", p.code).text("text", p.text);
        } else {
          return ErrorText("failed").number("code", p.code).text("text", p.text);
        }
      },
      payload);
}

}  // namespace

SecretError::SecretError(Payload payload)
    : runtime::Error(describe(payload)), payload_(std::move(payload)) {}

SecretError SecretError::itemNotFound() {
  return SecretError(ItemNotFound{});
}
SecretError SecretError::locked() {
  return SecretError(Locked{});
}
SecretError SecretError::unavailable(std::int32_t code, std::string text) {
  return SecretError(Unavailable{code, std::move(text)});
}
SecretError SecretError::failed(std::int32_t code, std::string text) {
  return SecretError(Failed{code, std::move(text)});
}

std::int32_t SecretError::status() const {
  if (auto* p = std::get_if<Unavailable>(&payload_)) return p->code;
  if (auto* p = std::get_if<Failed>(&payload_)) return p->code;
  return is<Locked>() ? 2 : 3;
}

}  // namespace brindlet::secrets
