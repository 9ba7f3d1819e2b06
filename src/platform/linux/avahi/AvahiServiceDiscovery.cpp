#include "platform/linux/avahi/AvahiServiceDiscovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <map>
#include <stdexcept>
#include <tuple>

namespace brindlet::platform {
namespace {

using transport::AdvertiseEvent;
using transport::BonjourService;
using transport::BrowseEvent;

std::string errorText(int code) {
  return avahi_strerror(code);
}

// One Avahi client on its own threaded poll. Subclasses get the client's state changes on the
// poll thread; stopping takes the poll lock, so no callback runs during or after teardown.
class AvahiSession : public transport::DiscoveryHandle {
 public:
  AvahiSession() : poll_(avahi_threaded_poll_new()) {
    if (poll_ == nullptr) throw std::runtime_error("cannot create the Avahi poll thread");
  }
  ~AvahiSession() override { avahi_threaded_poll_free(poll_); }

 protected:
  // Creates the client and starts the poll thread; call once the subclass is fully built.
  void start() {
    int error = 0;
    avahi_threaded_poll_lock(poll_);
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                               &AvahiSession::clientChanged, this, &error);
    avahi_threaded_poll_unlock(poll_);
    if (client_ == nullptr) {
      clientFailed(errorText(error));
      return;
    }
    avahi_threaded_poll_start(poll_);
  }

  // Stops the thread and frees the client and everything made from it. Subclasses call it
  // first in their destructor, while their own state is still alive.
  void stop() {
    avahi_threaded_poll_stop(poll_);
    stopped_ = true;
    dropObjects();
    if (client_ != nullptr) avahi_client_free(client_);
    client_ = nullptr;
  }

  AvahiClient* client() const { return client_; }
  // True once teardown began: nothing is reported any more.
  bool stopped() const { return stopped_; }

  virtual void clientRunning() = 0;     // (re)create browsers or groups
  virtual void clientConnecting() = 0;  // the daemon is not (or no longer) reachable
  virtual void clientFailed(const std::string& error) = 0;
  virtual void dropObjects() = 0;  // free browsers or groups

 private:
  static void clientChanged(AvahiClient* client, AvahiClientState state, void* self) {
    auto* session = static_cast<AvahiSession*>(self);
    session->client_ = client;  // set before avahi_client_new returns
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        session->clientRunning();
        break;
      case AVAHI_CLIENT_CONNECTING:
        session->dropObjects();
        session->clientConnecting();
        break;
      case AVAHI_CLIENT_FAILURE:
        session->dropObjects();
        session->clientFailed(errorText(avahi_client_errno(client)));
        break;
      default:
        break;  // registering, collision: the server's own host name
    }
  }

  AvahiThreadedPoll* poll_;
  AvahiClient* client_ = nullptr;
  bool stopped_ = false;
};

class AvahiBrowse final : public AvahiSession {
 public:
  AvahiBrowse(std::string type, std::function<void(BrowseEvent)> onEvent)
      : type_(std::move(type)), onEvent_(std::move(onEvent)) {
    start();
  }
  ~AvahiBrowse() override { stop(); }

 private:
  using Key = std::tuple<AvahiIfIndex, AvahiProtocol, std::string, std::string, std::string>;

  struct Entry {
    bool resolved = false;
    BonjourService service;
  };

  void clientRunning() override {
    browser_ =
        avahi_service_browser_new(client(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(),
                                  nullptr, AvahiLookupFlags(0), &AvahiBrowse::browsed, this);
    if (browser_ == nullptr) {
      report({BrowseEvent::Kind::failed, {}, errorText(avahi_client_errno(client()))});
      return;
    }
    report({BrowseEvent::Kind::running, {}, {}});
  }

  void clientConnecting() override {
    report({BrowseEvent::Kind::waiting, {}, "the Avahi daemon is not running"});
  }

  void clientFailed(const std::string& error) override {
    report({BrowseEvent::Kind::failed, {}, error});
  }

  void dropObjects() override {
    for (auto& [key, resolver] : resolvers_) avahi_service_resolver_free(resolver);
    resolvers_.clear();
    if (browser_ != nullptr) avahi_service_browser_free(browser_);
    browser_ = nullptr;
    const bool hadServices = !entries_.empty();
    entries_.clear();
    if (hadServices) publishSnapshot();
  }

  static void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                      AvahiBrowserEvent event, const char* name, const char* type,
                      const char* domain, AvahiLookupResultFlags, void* self) {
    auto* browse = static_cast<AvahiBrowse*>(self);
    switch (event) {
      case AVAHI_BROWSER_NEW:
        browse->found(Key{interface, protocol, name, type, domain});
        break;
      case AVAHI_BROWSER_REMOVE:
        browse->lost(Key{interface, protocol, name, type, domain});
        break;
      case AVAHI_BROWSER_FAILURE:
        browse->report(
            {BrowseEvent::Kind::failed, {}, errorText(avahi_client_errno(browse->client()))});
        break;
      default:
        break;  // all for now, cache exhausted
    }
  }

  void found(const Key& key) {
    if (resolvers_.contains(key)) return;
    const auto& [interface, protocol, name, type, domain] = key;
    AvahiServiceResolver* resolver = avahi_service_resolver_new(
        client(), interface, protocol, name.c_str(), type.c_str(), domain.c_str(),
        AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &AvahiBrowse::resolved, this);
    Entry& entry = entries_[key];
    entry.service.name = name;
    entry.service.endpoint = {name, type, domain, interface, {}, 0};
    if (resolver == nullptr) {
      entry.resolved = true;  // listed without address or TXT
      publishSnapshot();
      return;
    }
    resolvers_[key] = resolver;
  }

  void lost(const Key& key) {
    if (auto it = resolvers_.find(key); it != resolvers_.end()) {
      avahi_service_resolver_free(it->second);
      resolvers_.erase(it);
    }
    if (entries_.erase(key) > 0) publishSnapshot();
  }

  static void resolved(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                       AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                       const char* type, const char* domain, const char*,
                       const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                       AvahiLookupResultFlags, void* self) {
    auto* browse = static_cast<AvahiBrowse*>(self);
    const Key key{interface, protocol, name, type, domain};
    auto it = browse->entries_.find(key);
    if (it != browse->entries_.end()) {
      Entry& entry = it->second;
      entry.resolved = true;
      if (event == AVAHI_RESOLVER_FOUND) {
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        entry.service.endpoint.host = text;
        entry.service.endpoint.port = port;
        std::vector<std::string> raw;
        for (AvahiStringList* item = txt; item != nullptr; item = avahi_string_list_get_next(item))
          raw.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                           avahi_string_list_get_size(item));
        entry.service.txt = transport::txtStrings(raw);
      }
    }
    browse->resolvers_.erase(key);
    avahi_service_resolver_free(resolver);
    browse->publishSnapshot();
  }

  // One service per name: the first resolved entry of each name in key order (interface, then
  // protocol), so the same phone seen over IPv4 and IPv6 or on two interfaces is listed once.
  void publishSnapshot() {
    std::map<std::string, const BonjourService*> byName;
    for (const auto& [key, entry] : entries_)
      if (entry.resolved) byName.emplace(entry.service.name, &entry.service);
    std::vector<BonjourService> services;
    services.reserve(byName.size());
    for (const auto& [name, service] : byName) services.push_back(*service);
    transport::sortByName(services);
    report({BrowseEvent::Kind::snapshot, std::move(services), {}});
  }

  void report(BrowseEvent event) {
    if (!stopped()) onEvent_(std::move(event));
  }

  std::string type_;
  std::function<void(BrowseEvent)> onEvent_;
  AvahiServiceBrowser* browser_ = nullptr;
  std::map<Key, AvahiServiceResolver*> resolvers_;
  std::map<Key, Entry> entries_;
};

class AvahiAdvertisement final : public AvahiSession {
 public:
  AvahiAdvertisement(transport::ServiceAdvertisement service,
                     std::function<void(AdvertiseEvent)> onEvent)
      : service_(std::move(service)), onEvent_(std::move(onEvent)) {
    start();
  }
  ~AvahiAdvertisement() override { stop(); }

 private:
  void clientRunning() override {
    if (group_ == nullptr) {
      group_ = avahi_entry_group_new(client(), &AvahiAdvertisement::groupChanged, this);
      if (group_ == nullptr) return fail(avahi_client_errno(client()));
    }
    publish();
  }

  void clientConnecting() override {}  // re-published when the daemon is back

  void clientFailed(const std::string& error) override {
    onEvent_({AdvertiseEvent::Kind::failed, {}, error});
  }

  void dropObjects() override {
    if (group_ != nullptr) avahi_entry_group_free(group_);
    group_ = nullptr;
  }

  void publish() {
    AvahiStringList* txt = nullptr;
    for (const auto& [key, value] : service_.txt)
      txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
    avahi_entry_group_reset(group_);
    int error = avahi_entry_group_add_service_strlst(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), service_.name.c_str(),
        service_.type.c_str(), nullptr, nullptr, service_.port, txt);
    avahi_string_list_free(txt);
    if (error == AVAHI_ERR_COLLISION) return rename();
    if (error == 0) error = avahi_entry_group_commit(group_);
    if (error != 0) fail(error);
  }

  // Another host holds the name: take the alternative name ("Name #2", ...) and publish again.
  void rename() {
    char* alternative = avahi_alternative_service_name(service_.name.c_str());
    service_.name = alternative;
    avahi_free(alternative);
    publish();
  }

  void fail(int error) { onEvent_({AdvertiseEvent::Kind::failed, {}, errorText(error)}); }

  static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto* ad = static_cast<AvahiAdvertisement*>(self);
    ad->group_ = group;
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        ad->onEvent_({AdvertiseEvent::Kind::established, ad->service_.name, {}});
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        ad->rename();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        ad->fail(avahi_client_errno(avahi_entry_group_get_client(group)));
        break;
      default:
        break;
    }
  }

  transport::ServiceAdvertisement service_;
  std::function<void(AdvertiseEvent)> onEvent_;
  AvahiEntryGroup* group_ = nullptr;
};

}  // namespace

std::unique_ptr<transport::DiscoveryHandle> AvahiServiceDiscovery::browse(
    const std::string& type, std::function<void(BrowseEvent)> onEvent) {
  return std::make_unique<AvahiBrowse>(type, std::move(onEvent));
}

std::unique_ptr<transport::DiscoveryHandle> AvahiServiceDiscovery::advertise(
    const transport::ServiceAdvertisement& service, std::function<void(AdvertiseEvent)> onEvent) {
  return std::make_unique<AvahiAdvertisement>(service, std::move(onEvent));
}

}  // namespace brindlet::platform
