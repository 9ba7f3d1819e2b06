#include "XsmpServer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// libICE's switch for a transport it must not listen on; not in its public headers.
extern "C" int _IceTransNoListen(const char* protocol);

namespace brindlet::tools {

struct XsmpServer::Client {
  Client(XsmpServer& owner, SmsConn connection) : server(owner), conn(connection) {}
  XsmpServer& server;
  SmsConn conn;
  std::string id;           // empty until the client has registered
  bool saving = false;      // a SaveYourself awaits its SaveYourselfDone
  bool shutdown = false;    // the save under way ends the session
  bool saveQueued = false;  // a save asked for while another was under way
  bool closing = false;     // the client said CloseConnection
};

namespace {

constexpr const char* kVendor = "Brindlet";
constexpr const char* kRelease = "1.0";

// Only processes on this machine reach the local transport, as only they can a display.
Bool acceptLocal(char* /*hostName*/) {
  return True;
}

// A broken connection shows as a failed read; it is closed there, not by ending the program as
// libICE would by default.
void ignoreIoError(IceConn) {}

void reportIceError(IceConn, Bool, int offendingMinor, unsigned long, int errorClass, int severity,
                    IcePointer) {
  std::fprintf(stderr, "ICE error: class %d, minor opcode %d, severity %d\n", errorClass,
               offendingMinor, severity);
}

std::string valueText(const SmProp& property) {
  std::string text;
  for (int i = 0; i < property.num_vals; ++i) {
    const auto& value = property.vals[i];
    const auto* bytes = static_cast<const unsigned char*>(value.value);
    if (!text.empty()) text += ' ';
    // A CARD8 is the first byte, whatever length the client gave it.
    if (std::string(property.type) == SmCARD8) {
      text += value.length > 0 ? std::to_string(bytes[0]) : "";
    } else {
      text.append(reinterpret_cast<const char*>(bytes), std::size_t(value.length));
    }
  }
  return text;
}

}  // namespace

// libSM's callbacks for one client: each gets the client as its data.
struct ClientCallbacks {
  using Client = XsmpServer::Client;

  static Status registerClient(SmsConn conn, SmPointer data, char* previousId) {
    auto& client = *static_cast<Client*>(data);
    auto& server = client.server;
    const std::string previous = previousId ? previousId : "";
    std::free(previousId);
    // Only ids this server gave out are known; with an unknown one, the client asks for a new id.
    if (!previous.empty() && !server.issuedIds_.count(previous)) return 0;
    client.id = previous.empty() ? server.nextId() : previous;
    server.issuedIds_.insert(client.id);
    SmsRegisterClientReply(conn, client.id.data());
    server.print_("registered " + client.id);
    if (previous.empty()) server.saveYourself(client, SmSaveLocal, false);
    return 1;
  }

  static void saveYourselfDone(SmsConn conn, SmPointer data, Bool) {
    auto& client = *static_cast<Client*>(data);
    client.saving = false;
    client.server.print_("saved " + client.id);
    if (!client.shutdown) SmsSaveComplete(conn);
    if (client.saveQueued) {
      client.saveQueued = false;
      client.server.saveYourself(client, SmSaveGlobal, true);
    }
  }

  static void setProperties(SmsConn, SmPointer data, int count, SmProp** properties) {
    auto& client = *static_cast<Client*>(data);
    for (int i = 0; i < count; ++i) {
      client.server.print_("property " + client.id + " " + properties[i]->name + " " +
                           valueText(*properties[i]));
      SmFreeProperty(properties[i]);
    }
    std::free(properties);
  }

  static void closeConnection(SmsConn, SmPointer data, int count, char** reasons) {
    static_cast<Client*>(data)->closing = true;
    SmFreeReasons(count, reasons);
  }

  static void deleteProperties(SmsConn, SmPointer, int count, char** names) {
    SmFreeReasons(count, names);
  }

  // This server keeps no properties to answer with.
  static void getProperties(SmsConn conn, SmPointer) { SmsReturnProperties(conn, 0, nullptr); }

  // Nothing to wait for before a second phase: it may start at once.
  static void phase2Request(SmsConn conn, SmPointer) { SmsSaveYourselfPhase2(conn); }

  // Saves ask for no interaction, and only this server starts them.
  static void interactRequest(SmsConn, SmPointer, int) {}
  static void interactDone(SmsConn, SmPointer, Bool) {}
  static void saveYourselfRequest(SmsConn, SmPointer, int, Bool, int, Bool, Bool) {}

  static void install(SmsCallbacks& callbacks, Client* client) {
    callbacks.register_client = {registerClient, client};
    callbacks.interact_request = {interactRequest, client};
    callbacks.interact_done = {interactDone, client};
    callbacks.save_yourself_request = {saveYourselfRequest, client};
    callbacks.save_yourself_phase2_request = {phase2Request, client};
    callbacks.save_yourself_done = {saveYourselfDone, client};
    callbacks.close_connection = {closeConnection, client};
    callbacks.set_properties = {setProperties, client};
    callbacks.delete_properties = {deleteProperties, client};
    callbacks.get_properties = {getProperties, client};
  }
};

XsmpServer::XsmpServer(Print print) : print_(std::move(print)) {
  IceSetIOErrorHandler(ignoreIoError);
  IceSetErrorHandler(reportIceError);
  char error[256] = {};
  if (!SmsInitialize(kVendor, kRelease, newClient, this, acceptLocal, sizeof error, error))
    throw std::runtime_error(std::string("SmsInitialize: ") + error);
  // TCP would listen on every network interface.
  _IceTransNoListen("tcp");
  if (!IceListenForConnections(&listenerCount_, &listeners_, sizeof error, error))
    throw std::runtime_error(std::string("IceListenForConnections: ") + error);
  for (int i = 0; i < listenerCount_; ++i) {
    const std::string id = IceGetListenConnectionString(listeners_[i]);
    if (id.rfind("local/", 0) != 0 && id.rfind("unix/", 0) != 0)
      throw std::runtime_error("listening on a network transport: " + id);
    IceSetHostBasedAuthProc(listeners_[i], acceptLocal);
  }
  char* ids = IceComposeNetworkIdList(listenerCount_, listeners_);
  networkIds_ = ids;
  std::free(ids);
}

XsmpServer::~XsmpServer() {
  while (!connections_.empty()) close(connections_.begin()->first);
  // Closing a listener removes its socket file.
  if (listeners_) IceFreeListenObjs(listenerCount_, listeners_);
}

void XsmpServer::die() {
  for (auto& [ice, client] : clients_)
    if (!client->id.empty()) SmsDie(client->conn);
}

void XsmpServer::save() {
  for (auto& [ice, client] : clients_) {
    if (client->id.empty()) continue;
    // A client saves once at a time: the next save waits for its SaveYourselfDone.
    if (client->saving) {
      client->saveQueued = true;
    } else {
      saveYourself(*client, SmSaveGlobal, true);
    }
  }
}

std::vector<int> XsmpServer::descriptors() const {
  std::vector<int> fds;
  for (int i = 0; i < listenerCount_; ++i)
    fds.push_back(IceGetListenConnectionNumber(listeners_[i]));
  for (const auto& [fd, ice] : connections_) fds.push_back(fd);
  return fds;
}

void XsmpServer::readable(int fd) {
  for (int i = 0; i < listenerCount_; ++i)
    if (IceGetListenConnectionNumber(listeners_[i]) == fd) return accept(listeners_[i]);
  const auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  IceConn ice = found->second;
  const auto processed = IceProcessMessages(ice, nullptr, nullptr);
  const auto status = IceConnectionStatus(ice);
  const auto client = clients_.find(ice);
  const bool closing = client != clients_.end() && client->second->closing;
  if (processed != IceProcessMessagesSuccess || status == IceConnectRejected ||
      status == IceConnectIOError || closing)
    close(fd);
}

Status XsmpServer::newClient(SmsConn conn, SmPointer data, unsigned long* mask,
                             SmsCallbacks* callbacks, char** /*failure*/) {
  auto& server = *static_cast<XsmpServer*>(data);
  auto client = std::make_unique<Client>(server, conn);
  ClientCallbacks::install(*callbacks, client.get());
  *mask = ~0UL;
  server.clients_[SmsGetIceConnection(conn)] = std::move(client);
  return 1;
}

void XsmpServer::accept(IceListenObj listener) {
  IceAcceptStatus status;
  IceConn ice = IceAcceptConnection(listener, &status);
  if (ice) connections_[IceConnectionNumber(ice)] = ice;
}

void XsmpServer::close(int fd) {
  IceConn ice = connections_.at(fd);
  connections_.erase(fd);
  if (const auto found = clients_.find(ice); found != clients_.end()) {
    if (!found->second->id.empty()) print_("closed " + found->second->id);
    SmsCleanUp(found->second->conn);
    clients_.erase(found);
  }
  IceSetShutdownNegotiation(ice, False);
  IceCloseConnection(ice);
}

void XsmpServer::saveYourself(Client& client, int type, bool shutdown) {
  client.saving = true;
  client.shutdown = shutdown;
  SmsSaveYourself(client.conn, type, shutdown ? True : False, SmInteractStyleNone, False);
}

// XSMP's form of a client id: a version, this machine's address, the time, the process and a
// count, so that no two runs give out the same id.
std::string XsmpServer::nextId() {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  char id[64];
  std::snprintf(id, sizeof id, "117f000001%013lld%010d%04d", static_cast<long long>(millis),
                static_cast<int>(::getpid()), ++idCount_ % 10000);
  return id;
}

}  // namespace brindlet::tools
