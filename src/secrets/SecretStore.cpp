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
          return p.text.empty() ? ErrorText("locked") : ErrorText("locked").text("text", p.text);
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
SecretError SecretError::locked(std::string text) {
  return SecretError(Locked{std::move(text)});
}
SecretError SecretError::unavailable(std::int32_t code, std::string text) {
  return SecretError(Unavailable{code, std::move(text)});
}
SecretError SecretError::failed(std::int32_t code, std::string text) {
  return SecretError(Failed{code, std::move(text)});
}

std::string SecretError::message() const {
  const std::string* own = nullptr;
  if (auto* p = std::get_if<Locked>(&payload_)) own = &p->text;
  if (auto* p = std::get_if<Unavailable>(&payload_)) own = &p->text;
  if (auto* p = std::get_if<Failed>(&payload_)) own = &p->text;
  return own && !own->empty() ? *own : text();
}

}  // namespace brindlet::secrets
