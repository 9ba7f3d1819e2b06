#include "agents/HookServer.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <list>
#include <stdexcept>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "agents/HookRequest.h"
#include "runtime/Blocking.h"
#include "runtime/DescriptorLimit.h"
#include "runtime/ExitCleanup.h"
#include "runtime/FailureStreak.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Timeout.h"
#include "transport/Listener.h"

namespace brindlet::agents {

namespace asio = boost::asio;
using runtime::Bytes;
using runtime::ByteStream;

struct HookServer::Core {
  // A connection as it was accepted.
  struct Accepted {
    std::shared_ptr<ByteStream> stream;
    transport::Listener::Unfinished unfinished;
    runtime::Clock::TimePoint accepted;
  };
  // The reading place of a connection still reading its request.
  struct Place {
    std::shared_ptr<ByteStream> stream;
    runtime::Clock::TimePoint accepted;
    bool headRead = false;
  };

  std::string token;
  Handler handle;
  std::shared_ptr<runtime::Clock> clock;
  std::size_t readingCap;
  std::size_t reading = 0;
  // The connections reading their request, the longest reading first.
  std::list<std::shared_ptr<Place>> readers{};

  // Told when a reader leaves.
  std::function<void()> readerLeft{};

  // Whether a newcomer that still has to read its request may: past the soft limit, a reader
  // that has had its moment makes room (at the cap, one whose head has come too).
  bool makeRoom(runtime::Clock::TimePoint now);
  // When there is room for a newcomer: now, or once the one reading longest has had its moment.
  runtime::Clock::TimePoint roomFrom(runtime::Clock::TimePoint now) const;
};

namespace {

// Small reads: a held request keeps its stream's read buffer, and hook events are a few KiB.
constexpr std::size_t kReadSize = 4096;
// A hook event with its head is a few KiB; what a connection brings beyond this is read later.
constexpr std::size_t kArrivedLimit = 64 * 1024;
const std::string_view kNoDecision = "{}";

struct Chunk {
  Bytes bytes;
  bool ended = false;
};

asio::awaitable<Chunk> readChunk(ByteStream& stream, std::size_t maxBytes) {
  auto shot = runtime::OneShot<Chunk>::make();
  stream.read(maxBytes,
              [shot](runtime::ByteView bytes, bool end, std::optional<std::string> error) {
                shot->resume(Chunk{Bytes(bytes.begin(), bytes.end()), end || error.has_value()});
              });
  co_return co_await shot->wait();
}

// The request, or nothing when the peer ended first or the request was refused. The reader may
// hold the start of it already; the place learns when the whole head has come.
asio::awaitable<std::optional<HookRequest>> readRequest(
    std::shared_ptr<ByteStream> stream, std::shared_ptr<HookRequestReader> reader,
    std::shared_ptr<HookServer::Core::Place> place) {
  for (;;) {
    auto chunk = co_await readChunk(*stream, kReadSize);
    if (!chunk.bytes.empty()) {
      const auto status = reader->feed(chunk.bytes);
      if (status == HookRequestReader::Status::complete) co_return reader->take();
      if (status == HookRequestReader::Status::refused) co_return std::nullopt;
      place->headRead = reader->headRead();
    }
    if (chunk.ended) co_return std::nullopt;
  }
}

// Returns once the client has closed its side or the connection failed; bytes it sends after
// its request are dropped.
asio::awaitable<void> untilGone(std::shared_ptr<ByteStream> stream) {
  for (;;) {
    auto chunk = co_await readChunk(*stream, 1);
    if (chunk.ended) co_return;
  }
}

asio::awaitable<void> sendReply(ByteStream& stream, std::string_view status, Bytes body) {
  const auto head = replyHead(status, body.size());
  auto shot = runtime::OneShot<std::monostate>::make();
  // A peer already gone makes the write fail; the connection ends all the same.
  stream.write(Bytes(head.begin(), head.end()), std::move(body),
               [shot](std::optional<std::string>) { shot->resume({}); });
  co_await shot->wait();
}

// The handler's reply, or nothing when the client left first (the handler's task is then
// cancelled) or the handler failed.
asio::awaitable<std::optional<Bytes>> answer(std::shared_ptr<HookServer::Core> core,
                                             std::shared_ptr<ByteStream> stream, HookEvent event) {
  auto executor = co_await asio::this_coro::executor;
  auto handling = core->handle(std::move(event));
  auto watching = untilGone(stream);
  auto group = asio::experimental::make_parallel_group(
      asio::co_spawn(executor, std::move(handling), asio::deferred),
      asio::co_spawn(executor, std::move(watching), asio::deferred));
  auto [order, handlerError, reply, watchError] =
      co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  if (order[0] == 0 && !handlerError) co_return std::move(reply);
  co_return std::nullopt;
}

// Frees a reading place, here and in the listener's count, when the request is read, refused,
// timed out or cancelled.
struct ReadingPlace {
  HookServer::Core& core;
  std::shared_ptr<HookServer::Core::Place> place;
  transport::Listener::Unfinished unfinished;
  ~ReadingPlace() {
    --core.reading;
    core.readers.remove(place);
    if (core.readerLeft) core.readerLeft();
  }
};

struct Hangup {
  std::shared_ptr<ByteStream> stream;
  ~Hangup() { stream->cancel(); }
};

// The head and body must have come within the read limit of the accept, however slowly the
// client sends them; once read, the request may be held as long as its answer takes. A request
// that came whole with its connection is there already and holds no reading place.
asio::awaitable<void> serve(std::shared_ptr<HookServer::Core> core,
                            HookServer::Core::Accepted connection,
                            std::shared_ptr<HookRequestReader> reader,
                            std::shared_ptr<HookServer::Core::Place> place) {
  auto stream = connection.stream;
  Hangup hangup{stream};
  std::optional<HookRequest> request;
  if (!place) {
    request = reader->take();
  } else {
    ReadingPlace held{*core, place, std::move(connection.unfinished)};
    const auto left = HookServer::readLimit - (core->clock->now() - connection.accepted);
    auto reading = readRequest(stream, std::move(reader), place);
    auto outcome = co_await runtime::within(*core->clock, left, std::move(reading));
    if (outcome) request = std::move(*outcome);
  }
  if (!request) co_return;
  if (!carriesToken(*request, core->token)) {
    Bytes refusal(kNoDecision.begin(), kNoDecision.end());
    co_await sendReply(*stream, "403 Forbidden", std::move(refusal));
    co_return;
  }
  auto event = hookEventOf(std::move(*request));
  request.reset();
  if (!event) co_return;
  auto reply = co_await answer(core, stream, std::move(*event));
  if (reply) co_await sendReply(*stream, "200 OK", std::move(*reply));
}

// This machine only, any free port. The server admits connections itself, once it has read what
// they brought: a listener that closed them at a limit of its own would close whole requests.
std::shared_ptr<transport::Listener> loopbackListener(const asio::any_io_executor& executor) {
  transport::ListenerOptions options;
  options.address = "127.0.0.1";
  options.maxUnfinished = std::numeric_limits<std::size_t>::max();
  return transport::Listener::plain(executor, 0, options);
}

// What a reader loses when it makes room: it is closed unanswered.
void evict(std::list<std::shared_ptr<HookServer::Core::Place>>& readers,
           std::list<std::shared_ptr<HookServer::Core::Place>>::iterator reader) {
  (*reader)->stream->cancel();
  readers.erase(reader);
}

}  // namespace

const runtime::Logger& agentsLog() {
  return runtime::Logger::of("agents");
}

std::string makeHookToken() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), int(bytes.size())) != 1) {
    throw std::runtime_error("no random bytes for the hook token");
  }
  bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
  bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

bool HookServer::Core::makeRoom(runtime::Clock::TimePoint now) {
  if (readers.size() < maxReading) return true;
  const auto hadMoment = [now](const auto& reader) { return now - reader->accepted >= headMoment; };
  // Clients that hold places by sending slowly lose them first, and a hook whose bytes are a
  // moment behind its connection keeps its own.
  const auto slow = std::find_if(readers.begin(), readers.end(),
                                 [](const auto& reader) { return !reader->headRead; });
  if (slow != readers.end() && hadMoment(*slow)) {
    evict(readers, slow);
    return true;
  }
  if (readers.size() < readingCap) return true;
  // At the cap a head that has come keeps no place past its moment; the longest reading is first.
  if (!hadMoment(readers.front())) return false;
  evict(readers, readers.begin());
  return true;
}

runtime::Clock::TimePoint HookServer::Core::roomFrom(runtime::Clock::TimePoint now) const {
  if (readers.size() < readingCap) return now;
  return readers.front()->accepted + headMoment;
}

std::shared_ptr<HookServer> HookServer::make(asio::any_io_executor executor, std::string token,
                                             Handler handle) {
  return make(std::move(executor), std::move(token), std::move(handle), Options{});
}

std::size_t HookServer::defaultReadingCap() {
  return std::max(maxReading, runtime::descriptorLimit() / 4);
}

HookServer::HookServer(asio::any_io_executor executor, std::string token, Handler handle,
                       Options options)
    : core_(std::make_shared<Core>(
          Core{std::move(token), std::move(handle),
               options.clock ? options.clock : runtime::Clock::system(),
               options.readingCap != 0 ? options.readingCap : defaultReadingCap()})),
      folder_(options.folder.empty() ? agentsFolder() : options.folder),
      listen_(options.listen ? options.listen : loopbackListener),
      executor_(executor),
      connections_(std::move(executor)) {}

std::shared_ptr<HookServer> HookServer::make(asio::any_io_executor executor, std::string token,
                                             Handler handle, Options options) {
  return std::shared_ptr<HookServer>(
      new HookServer(std::move(executor), std::move(token), std::move(handle), std::move(options)));
}

HookServer::~HookServer() {
  stop();
}

const std::string& HookServer::token() const {
  return core_->token;
}

std::optional<std::uint16_t> HookServer::port() const {
  return listener_ ? listener_->port() : std::nullopt;
}

std::size_t HookServer::readingCount() const {
  return core_->reading;
}

std::size_t HookServer::readingCap() const {
  return core_->readingCap;
}

void HookServer::start() {
  if (listener_) return;
  std::shared_ptr<transport::Listener> listener;
  try {
    listener = listen_(executor_);
  } catch (const std::exception&) {
    agentsLog().error("Hook server: no listener");
    return;
  }
  std::weak_ptr<HookServer> weak = weak_from_this();
  listener->setStateHandler([weak](transport::Listener::State state, const std::string& error) {
    auto self = weak.lock();
    if (!self) return;
    if (state == transport::Listener::State::ready) self->listenerReady();
    if (state == transport::Listener::State::failed) self->listenerFailed(error);
  });
  listener->setNewConnectionHandler(
      [weak](std::shared_ptr<ByteStream> stream, transport::Listener::Unfinished unfinished) {
        if (auto self = weak.lock()) return self->accept(stream, std::move(unfinished));
        stream->cancel();
      });
  core_->readerLeft = [weak] {
    if (auto self = weak.lock()) self->admitWhenRoom();
  };
  // Kept before it starts: a listener may report ready from within start().
  listener_ = listener;
  listener->start();
}

void HookServer::stop() {
  if (listener_) listener_->cancel();
  listener_.reset();
  core_->readerLeft = nullptr;
  std::exchange(roomTimer_, {}).cancel();
  connections_.cancelAll();
  withdrawFiles();
}

void HookServer::listenerReady() {
  const auto port = listener_ ? listener_->port() : std::nullopt;
  if (!port) return;
  publication_ = Publication{DiscoveryFile{folder_, *port, core_->token},
                             std::make_shared<std::atomic<bool>>(false)};
  publication_->writing =
      runtime::spawn(executor_, publish(publication_->file, publication_->withdrawn, core_->clock));
}

namespace {

// Removed by the server itself: the exit's clean-up leaves them alone from now on.
void removeAndForget(const DiscoveryFile& file) {
  file.removeIfCurrent();
  runtime::keepFileOnExit(file.jsonPath());
  runtime::keepFileOnExit(file.headersPath());
}

// What one try at writing the discovery files came to: written, not tried (withdrawn, or the
// process is ending), or failed for the reason given.
struct Writing {
  enum class Outcome { written, skipped, failed };
  Outcome outcome;
  std::string failure{};
};

// One try, on the blocking worker. The files are registered before they exist, in the call that
// writes them: an exit that cannot wait, or a crash, takes them along, so that whatever takes the
// port next is not led to the hooks' token and prompts; once the process is ending, or the server
// has withdrawn them, they are not written at all. A try that fails takes back what it wrote and
// registered, so that between tries no file of this run's is left or registered.
Writing writeOnce(const DiscoveryFile& file, const std::atomic<bool>& withdrawn) {
  if (withdrawn.load() || !runtime::removeFileOnExit(file.jsonPath()) ||
      !runtime::removeFileOnExit(file.headersPath())) {
    return {Writing::Outcome::skipped};
  }
  try {
    file.write();
    return {Writing::Outcome::written};
  } catch (const std::exception& e) {
    removeAndForget(file);
    return {Writing::Outcome::failed, e.what()};
  }
}

}  // namespace

asio::awaitable<void> HookServer::publish(DiscoveryFile file,
                                          std::shared_ptr<std::atomic<bool>> withdrawn,
                                          std::shared_ptr<runtime::Clock> clock) {
  // The first failure is an error, the tries after it are not.
  runtime::FailureStreak failures(agentsLog());
  int tries = 1;
  for (;; ++tries) {
    auto write = [file, withdrawn] { return writeOnce(file, *withdrawn); };
    const auto writing = co_await runtime::offloadBlocking(std::move(write));
    if (writing.outcome == Writing::Outcome::skipped) co_return;
    if (writing.outcome == Writing::Outcome::written) break;
    failures.failed("Hook server file: " + writing.failure +
                    "; agents are off until the files can be written");
    co_await clock->sleep(fileRetry);
  }
  // Withdrawn while they were written: their removal follows the writing.
  if (withdrawn->load()) co_return;
  failures.worked("Hook server file written after " + std::to_string(tries) + " tries");
  agentsLog().info("Hook server on 127.0.0.1:%hu", file.port);
}

void HookServer::listenerFailed(const std::string& error) {
  agentsLog().error("Hook server failed: %s", error.c_str());
  // Whatever holds this port next must not receive the agents' prompts.
  withdrawFiles();
}

void HookServer::withdrawFiles() {
  if (!publication_) return;
  publication_->withdrawn->store(true);
  publication_->writing.cancel();
  // Off the loop, and done even when the loop stops right after (a stop on the way out). The
  // blocking worker is one thread taking its calls in turn: a writing it has begun ends first.
  auto remove = [file = std::move(publication_->file)] { removeAndForget(file); };
  publication_.reset();
  runtime::postBlocking(std::move(remove));
}

void HookServer::accept(const std::shared_ptr<ByteStream>& stream,
                        transport::Listener::Unfinished unfinished) {
  // What the client sent with its connection is read before anything else: a request that came
  // whole needs no reading place, so however many slow clients come and go it is answered.
  auto reader = std::make_shared<HookRequestReader>();
  const auto arrived = runtime::TcpByteStream::takeArrived(*stream, kArrivedLimit);
  const auto status = arrived.empty() ? HookRequestReader::Status::needMore : reader->feed(arrived);
  if (status == HookRequestReader::Status::refused) return stream->cancel();
  const auto now = core_->clock->now();
  std::shared_ptr<Core::Place> place;
  if (status == HookRequestReader::Status::needMore) {
    if (!core_->makeRoom(now)) return stream->cancel();
    place = std::make_shared<Core::Place>(Core::Place{stream, now, reader->headRead()});
    core_->readers.push_back(place);
    ++core_->reading;
  } else {
    unfinished.reset();
  }
  stream->start();
  const Core::Accepted connection{stream, std::move(unfinished), now};
  connections_.spawn(serve(core_, connection, std::move(reader), std::move(place)));
  admitWhenRoom();
}

void HookServer::admitWhenRoom() {
  if (!listener_) return;
  std::exchange(roomTimer_, {}).cancel();
  const auto now = core_->clock->now();
  const auto room = core_->roomFrom(now);
  if (room <= now) return listener_->resume();
  // Newcomers wait in the backlog, where whole requests arrive whole, rather than being taken
  // only to be closed: a flood that comes back the moment it is closed would keep every place.
  listener_->pause();
  roomTimer_ = runtime::spawn(executor_, admitAt(weak_from_this(), core_->clock, room - now));
}

asio::awaitable<void> HookServer::admitAt(std::weak_ptr<HookServer> weak,
                                          std::shared_ptr<runtime::Clock> clock,
                                          runtime::Duration wait) {
  co_await clock->sleep(wait);
  if (auto self = weak.lock()) self->admitWhenRoom();
}

}  // namespace brindlet::agents
