#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "runtime/ByteStream.h"

namespace brindlet::runtime {

// Byte streams over TCP: dialed when started, or adopted from an accepted socket (then ready as
// soon as started). Nagle's delay is off: frames are written whole.
namespace TcpByteStream {
std::shared_ptr<ByteStream> dial(const boost::asio::any_io_executor& executor, std::string host,
                                 std::uint16_t port);
std::shared_ptr<ByteStream> adopt(boost::asio::ip::tcp::socket socket);
// What the peer of an adopted stream has sent so far, at most `limit` bytes, read at once without
// waiting. Only for a stream not yet started, which nothing else reads; empty for a stream that
// is no TCP stream.
Bytes takeArrived(ByteStream& stream, std::size_t limit);
}  // namespace TcpByteStream

// Byte streams over Unix-domain stream sockets.
namespace UnixByteStream {
std::shared_ptr<ByteStream> dial(const boost::asio::any_io_executor& executor, std::string path);
std::shared_ptr<ByteStream> adopt(boost::asio::local::stream_protocol::socket socket);
}  // namespace UnixByteStream

}  // namespace brindlet::runtime
