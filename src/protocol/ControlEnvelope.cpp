#include "protocol/ControlEnvelope.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "protocol/Frame.h"
#include "protocol/ProtocolError.h"
#include "runtime/Json.h"

namespace brindlet::protocol {
namespace {

using Decoder = ControlMessage (*)(const runtime::JsonObjectReader&);

template <class P>
ControlMessage decodeAs(const runtime::JsonObjectReader& in) {
  return P::decode(in);
}

struct Entry {
  std::string_view type;
  Decoder decode;
};

// Every alternative but the last, UnknownMessage, is a payload.
template <std::size_t... I>
constexpr auto makeTable(std::index_sequence<I...>) {
  using V = ControlMessage::Variant;
  return std::array<Entry, sizeof...(I)>{Entry{std::variant_alternative_t<I, V>::type,
                                               &decodeAs<std::variant_alternative_t<I, V>>}...};
}

// Every known payload, looked up by its wire type name.
const auto kDecoders = [] {
  auto table =
      makeTable(std::make_index_sequence<std::variant_size_v<ControlMessage::Variant> - 1>());
  std::sort(table.begin(), table.end(),
            [](const Entry& a, const Entry& b) { return a.type < b.type; });
  return table;
}();

const Entry* findDecoder(std::string_view type) {
  auto it = std::lower_bound(kDecoders.begin(), kDecoders.end(), type,
                             [](const Entry& e, std::string_view t) { return e.type < t; });
  return it != kDecoders.end() && it->type == type ? &*it : nullptr;
}

}  // namespace

std::string_view ControlMessage::type() const {
  return std::visit(
      [](const auto& payload) -> std::string_view {
        if constexpr (std::is_same_v<std::decay_t<decltype(payload)>, UnknownMessage>) {
          return payload.type;
        } else {
          return std::decay_t<decltype(payload)>::type;
        }
      },
      value_);
}

void ControlMessage::validate() const {
  std::visit(
      [](const auto& payload) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(payload)>, UnknownMessage>) {
          payload.validate();
        }
      },
      value_);
}

void ControlEnvelope::appendJSON(std::string& out) const {
  nlohmann::json object = nlohmann::json::object();
  std::visit(
      [&](const auto& payload) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(payload)>, UnknownMessage>) {
          payload.encode(object);
        }
      },
      message.value());
  object["t"] = message.type();
  object["id"] = id;
  try {
    runtime::appendJson(out, object);
  } catch (const runtime::JsonWriteError& e) {
    throw ProtocolError::malformedControl("encode failed: " + e.description());
  }
}

std::string ControlEnvelope::encodedJSON() const {
  std::string out;
  appendJSON(out);
  return out;
}

ControlEnvelope ControlEnvelope::decode(std::string_view bytes) {
  std::optional<ControlEnvelope> envelope;
  try {
    nlohmann::json document;
    runtime::parseJson(bytes, document);
    const runtime::JsonObjectReader top = runtime::JsonValueReader(document).asObject();
    const std::uint32_t id = top.required("id").asUInt32();
    std::string type = top.required("t").asString();
    if (const Entry* entry = findDecoder(type)) {
      envelope.emplace(id, entry->decode(top));
    } else {
      envelope.emplace(id, ControlMessage::unknown(std::move(type)));
    }
  } catch (const runtime::JsonReadError& e) {
    throw ProtocolError::malformedControl(e.text());
  }
  envelope->message.validate();
  return std::move(*envelope);
}

Frame ControlEnvelope::frame() const {
  const std::string json = encodedJSON();
  return Frame{Channel::control, FrameFlags{}, runtime::Bytes(json.begin(), json.end())};
}

ControlEnvelope ControlEnvelope::of(const Frame& frame) {
  if (frame.channel != Channel::control) throw ProtocolError::notControl(frame.channel);
  return decode(runtime::asText(frame.payload));
}

}  // namespace brindlet::protocol
