#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "runtime/Observable.h"
#include "transport/HostTransporting.h"
#include "transport/NearbyPhone.h"

namespace brindlet::session {

// The model behind the menu's list of nearby phones and the pairing window: dials a paired
// phone, and walks a new one through its pairing code with three tries. It never holds a link:
// every success reaches the host session as the transport's `connected` event. Main loop only.
class PhoneConnector {
 public:
  struct Pairing {
    enum class Stage {
      asking,     // the request went out; the phone is to show its code
      entering,   // the user types the code (`mistake` after a wrong one)
      checking,   // the typed code is being tried
      lockedOut,  // ended without success
    };
    Stage stage = Stage::asking;
    transport::NearbyPhone phone;
    int triesLeft = 0;     // entering and checking; 0 otherwise
    bool mistake = false;  // entering; false otherwise

    static Pairing asking(transport::NearbyPhone phone) {
      return {Stage::asking, std::move(phone)};
    }
    static Pairing entering(transport::NearbyPhone phone, int triesLeft, bool mistake) {
      return {Stage::entering, std::move(phone), triesLeft, mistake};
    }
    static Pairing checking(transport::NearbyPhone phone, int triesLeft) {
      return {Stage::checking, std::move(phone), triesLeft};
    }
    static Pairing lockedOut(transport::NearbyPhone phone) {
      return {Stage::lockedOut, std::move(phone)};
    }

    friend bool operator==(const Pairing&, const Pairing&) = default;
  };

  explicit PhoneConnector(std::shared_ptr<transport::HostTransporting> transport);
  ~PhoneConnector();
  PhoneConnector(const PhoneConnector&) = delete;
  PhoneConnector& operator=(const PhoneConnector&) = delete;

  // As the transport last reported them; the owner sets it.
  runtime::Observable<std::vector<transport::NearbyPhone>> nearby;
  // None while no pairing is in progress.
  runtime::Observable<std::optional<Pairing>> pairing;
  // A sentence for the user about the last failed connect or pairing request.
  runtime::Observable<std::optional<std::string>> error;

  // None of these throw: failures become `error` texts or pairing stages.
  boost::asio::awaitable<void> connect(transport::NearbyPhone phone);
  boost::asio::awaitable<void> requestPairing(transport::NearbyPhone phone);
  boost::asio::awaitable<void> submit(std::string code);
  boost::asio::awaitable<void> cancelPairing();

 private:
  std::shared_ptr<transport::HostTransporting> transport_;
  std::optional<transport::PairingAttempt> attempt_;
  // Moves on with every request and cancel, so that an answer arriving after either is known
  // to be stale.
  std::uint64_t flow_ = 0;
};

}  // namespace brindlet::session
