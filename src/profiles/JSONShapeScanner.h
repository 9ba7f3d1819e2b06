#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "runtime/Bytes.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// Walks the shape of a JSON text (objects, arrays, strings, other values) before any decoding,
// and fails with a ProfileError on the first key given twice in one object (keys compared by
// canonical equivalence) or on the first gross syntax fault. It builds no value and leaves the
// finer points of JSON (numbers, literals, escapes, UTF-8, trailing content) to the decoder.
// The walk keeps its own stack, so no input can exhaust the thread's stack; nesting deeper than
// maxDepth is refused, as the decoder would refuse it too.
//
// The scanner reads the bytes in place: they must outlive it.
class JSONShapeScanner {
 public:
  static constexpr std::size_t maxDepth = runtime::kMaxJsonDepth;

  explicit JSONShapeScanner(std::string_view bytes);
  explicit JSONShapeScanner(runtime::ByteView bytes);

  // Scans a whole file: a leading UTF-8 byte-order mark is passed over (the decoder accepts
  // one too, so a file with it must be held to the same strictness), then one value.
  static void scanDocument(std::string_view bytes);

  // Scans one value from position(), leaving position() just past it. Throws ProfileError:
  // malformedJSON or duplicateKey.
  void scanValue();

  std::size_t position() const { return position_; }

 private:
  // The keys of one open object. Small objects are searched in order; past a few keys an
  // index takes over, so that an object of many keys costs linear time.
  struct Frame {
    bool isObject = false;
    std::size_t firstKey = 0;
    std::unique_ptr<std::unordered_set<std::string>> index;
  };

  void skipWhitespace();
  void skipScalar();
  std::string_view skipString();  // the string's token, quotes included
  std::string scanString();       // the string's value
  void scanMember();              // a key, its duplicate test and the colon after it
  void insertKey(const std::string& key);
  bool open(bool isObject);  // at a bracket or brace: true when a first value must follow
  void close();
  bool nextInContainer(std::size_t base);  // after a value: true when another value follows

  std::string_view bytes_;
  std::size_t position_ = 0;
  std::vector<Frame> frames_;
  std::vector<std::string> keys_;  // keys of every open object, canonical form, frame by frame
};

}  // namespace brindlet::profiles
