#include "platform/linux/secret/SecretServiceStore.h"

#include "runtime/Blocking.h"

#include <libsecret/secret.h>

#include <memory>
#include <optional>

namespace brindlet::platform {
namespace {

using secrets::SecretError;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
struct GHashTableFree {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
struct SecretValueFree {
  void operator()(SecretValue* v) const { secret_value_unref(v); }
};
struct GObjectFree {
  void operator()(gpointer o) const { g_object_unref(o); }
};

SecretError errorFrom(GError* raw) {
  std::unique_ptr<GError, GErrorFree> error(raw);
  std::string text = error->message ? error->message : "";
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
    return SecretError::locked(std::move(text));
  if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR ||
      error->domain == G_SPAWN_ERROR)
    return SecretError::unavailable(error->code, std::move(text));
  return SecretError::failed(error->code, std::move(text));
}

// D-Bus carries attributes as UTF-8 strings; a NUL would silently shorten the name and
// address another item, and invalid UTF-8 is refused by the bus library with an abort.
std::string attributeText(std::string_view value) {
  if (value.find('\0') != std::string_view::npos ||
      !g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr))
    throw SecretError::failed(0, "attribute is not UTF-8 text without NUL");
  return std::string(value);
}

class Attributes {
 public:
  Attributes(std::string_view service, std::optional<std::string_view> account)
      : service_(attributeText(service)),
        account_(account ? attributeText(*account) : std::string()),
        table_(g_hash_table_new(g_str_hash, g_str_equal)) {
    g_hash_table_insert(table_.get(), const_cast<char*>("service"), service_.data());
    if (account) g_hash_table_insert(table_.get(), const_cast<char*>("account"), account_.data());
  }
  GHashTable* get() const { return table_.get(); }

 private:
  std::string service_;
  std::string account_;
  std::unique_ptr<GHashTable, GHashTableFree> table_;
};

std::unique_ptr<SecretService, GObjectFree> connect() {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  if (!service) throw errorFrom(error);
  return std::unique_ptr<SecretService, GObjectFree>(service);
}

}  // namespace

void SecretServiceStore::store(std::string_view service, std::string_view account,
                               runtime::ByteView secret) {
  runtime::mayBlock("a Secret Service call");
  Attributes attributes(service, account);
  std::string label = std::string(service) + ": " + std::string(account);
  std::unique_ptr<SecretValue, SecretValueFree> value(
      secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                       static_cast<gssize>(secret.size()), "application/octet-stream"));
  std::lock_guard lock(mutex_);
  if (refusedWrite_) throw *refusedWrite_;
  try {
    auto connection = connect();
    GError* error = nullptr;
    // The default collection; an item with the same attributes is replaced, not duplicated.
    if (!secret_service_store_sync(connection.get(), nullptr, attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                   &error))
      throw errorFrom(error);
  } catch (const SecretError& refused) {
    // Where there is no keyring yet, a write asks the user to make one; whoever cancelled that
    // is not asked again by the next write of this run.
    refusedWrite_ = refused;
    throw;
  }
}

runtime::Bytes SecretServiceStore::read(std::string_view service, std::string_view account) {
  runtime::mayBlock("a Secret Service call");
  Attributes attributes(service, account);
  std::lock_guard lock(mutex_);
  auto connection = connect();
  GError* error = nullptr;
  std::unique_ptr<SecretValue, SecretValueFree> value(
      secret_service_lookup_sync(connection.get(), nullptr, attributes.get(), nullptr, &error));
  if (error) throw errorFrom(error);
  if (!value) throw SecretError::itemNotFound();
  gsize length = 0;
  const gchar* data = secret_value_get(value.get(), &length);
  auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  return runtime::Bytes(bytes, bytes + length);
}

void SecretServiceStore::remove(std::string_view service, std::string_view account) {
  runtime::mayBlock("a Secret Service call");
  Attributes attributes(service, account);
  std::lock_guard lock(mutex_);
  auto connection = connect();
  GError* error = nullptr;
  gboolean removed =
      secret_service_clear_sync(connection.get(), nullptr, attributes.get(), nullptr, &error);
  if (error) throw errorFrom(error);
  if (!removed) throw SecretError::itemNotFound();
}

std::vector<std::string> SecretServiceStore::accounts(std::string_view service) {
  runtime::mayBlock("a Secret Service call");
  Attributes attributes(service, std::nullopt);
  std::lock_guard lock(mutex_);
  auto connection = connect();
  GError* error = nullptr;
  auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK);
  GList* items = secret_service_search_sync(connection.get(), nullptr, attributes.get(), flags,
                                            nullptr, &error);
  if (error) throw errorFrom(error);
  std::vector<std::string> out;
  for (GList* node = items; node; node = node->next) {
    std::unique_ptr<GHashTable, GHashTableFree> found(
        secret_item_get_attributes(static_cast<SecretItem*>(node->data)));
    auto* account = static_cast<const char*>(g_hash_table_lookup(found.get(), "account"));
    if (account) out.emplace_back(account);
  }
  g_list_free_full(items, g_object_unref);
  return out;
}

}  // namespace brindlet::platform
