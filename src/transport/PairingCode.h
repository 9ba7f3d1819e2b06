#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/Bytes.h"
#include "transport/SymmetricKey.h"

namespace brindlet::transport {

// The six-digit code a phone shows while a computer asks to pair, the one-time key derived
// from it, and the lasting key that replaces it.
namespace PairingCode {

inline constexpr int maxAttempts = 3;  // wrong codes before pairing locks
inline constexpr std::chrono::seconds lockout{30};

// Six decimal digits, uniformly distributed.
std::string generate();
// The same, drawing 64-bit values from `random` (the secure source in generate()).
std::string generate(const std::function<std::uint64_t()>& random);

// "pair:" followed by the identity: the key identity used while pairing.
std::string pairingIdentity(std::string_view identity);

// HKDF-SHA256 of the code's bytes, with the fixed label as salt and "a|b" as info (a is the
// computer's identity, b the phone's), 32 bytes.
SymmetricKey derivedKey(std::string_view code, std::string_view a, std::string_view b);

// 32 bytes from the secure random source.
SymmetricKey newKey();

runtime::Bytes keyData(const SymmetricKey& key);

}  // namespace PairingCode
}  // namespace brindlet::transport
