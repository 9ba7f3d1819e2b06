#pragma once

// Nearby phones as the tests need them: paired, able to pair, or neither.

#include <string>

#include "transport/NearbyPhone.h"

namespace brindlet::app {

inline transport::NearbyPhone pairedPhone(std::string name, std::string uid) {
  transport::NearbyPhone phone;
  phone.name = std::move(name);
  phone.uid = std::move(uid);
  phone.isPaired = true;
  return phone;
}

inline transport::NearbyPhone pairablePhone(std::string name, std::string uid) {
  transport::NearbyPhone phone;
  phone.name = std::move(name);
  phone.uid = std::move(uid);
  phone.secure = transport::BonjourService();
  phone.secure->name = phone.name;
  phone.pairPort = 9001;
  return phone;
}

// Advertises no pairing port.
inline transport::NearbyPhone unpairablePhone(std::string name) {
  transport::NearbyPhone phone;
  phone.name = std::move(name);
  return phone;
}

}  // namespace brindlet::app
