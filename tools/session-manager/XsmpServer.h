#pragma once

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace brindlet::tools {

// A session manager's side of XSMP, listening on the local ICE transport only (a socket in a
// folder, never a network interface) and accepting every client that reaches it: only this
// machine's processes can.
//
// Printed: "registered <id>", "property <id> <name> <value>" per property a client sets,
// "saved <id>" when a client is done saving, "closed <id>" when a registered client's connection
// closes. As a desktop's session manager does, a client registering anew gets a local
// SaveYourself at once, so that it states its properties.
class XsmpServer {
 public:
  using Print = std::function<void(const std::string& line)>;

  explicit XsmpServer(Print print);
  ~XsmpServer();
  XsmpServer(const XsmpServer&) = delete;
  XsmpServer& operator=(const XsmpServer&) = delete;

  // The value of SESSION_MANAGER that reaches this server.
  const std::string& networkIds() const { return networkIds_; }

  // Die to every registered client.
  void die();
  // A global SaveYourself for a shutdown, without interaction, to every registered client.
  void save();

  // The descriptors to wait on, and the handling of one that became readable.
  std::vector<int> descriptors() const;
  void readable(int fd);

  struct Client;

 private:
  static Status newClient(SmsConn conn, SmPointer server, unsigned long* mask,
                          SmsCallbacks* callbacks, char** failure);
  void accept(IceListenObj listener);
  void close(int fd);
  void saveYourself(Client& client, int type, bool shutdown);
  std::string nextId();
  friend struct ClientCallbacks;

  Print print_;
  int listenerCount_ = 0;
  IceListenObj* listeners_ = nullptr;
  std::string networkIds_;
  std::map<int, IceConn> connections_;
  std::map<IceConn, std::unique_ptr<Client>> clients_;
  std::set<std::string> issuedIds_;
  int idCount_ = 0;
};

}  // namespace brindlet::tools
