#pragma once

#include <cstddef>

#include "runtime/Bytes.h"

namespace brindlet::transport {

// Secret key bytes. Compared in constant time and wiped when dropped.
class SymmetricKey {
 public:
  explicit SymmetricKey(runtime::ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  SymmetricKey(const SymmetricKey&) = default;
  SymmetricKey(SymmetricKey&&) = default;
  SymmetricKey& operator=(const SymmetricKey&) = default;
  SymmetricKey& operator=(SymmetricKey&&) = default;
  ~SymmetricKey();

  runtime::ByteView bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

  friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

 private:
  runtime::Bytes bytes_;
};

}  // namespace brindlet::transport
