#include "transport/ConnectionParameters.h"

#include "runtime/SocketByteStream.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport {

ConnectionParameters plainTcp() {
  return [](const boost::asio::any_io_executor& executor, const runtime::Endpoint& endpoint) {
    return runtime::TcpByteStream::dial(executor, endpoint.host, endpoint.port);
  };
}

ConnectionParameters secureTls(SecureChannel::Parameters parameters) {
  return [parameters](const boost::asio::any_io_executor& executor,
                      const runtime::Endpoint& endpoint) -> std::shared_ptr<runtime::ByteStream> {
    return TlsByteStream::dial(executor, endpoint.host, endpoint.port, parameters);
  };
}

}  // namespace brindlet::transport
