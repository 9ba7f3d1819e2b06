// The hook server over real loopback sockets: what a request gets (the handler's reply, 403, or
// a close without a reply), the limits on reading, the discovery files.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <fstream>
#include <future>
#include <iterator>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "agents/HookRequest.h"
#include "agents/HookServer.h"
#include "runtime/Blocking.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/OneShot.h"
#include "support/Loop.h"
#include "support/LoopbackClient.h"
#include "support/SlowClients.h"
#include "support/TempDir.h"
#include "transport/Listener.h"

namespace brindlet::agents {
namespace {

namespace asio = boost::asio;
using runtime::Bytes;
using namespace std::chrono_literals;

const std::string kToken = "0F8C2A5E-7B1D-4E3A-9C6F-2D8B1A0E5F47";

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A POST as the hook script sends it, with the given extra header lines (each ending in CRLF).
std::string hookPost(std::string_view body, std::string_view headers = "",
                     std::string_view target = "/hook?vendor=claude") {
  return "POST " + std::string(target) + " HTTP/1.1\r\nX-Brindlet-Token: " + kToken + "\r\n" +
         std::string(headers) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         std::string(body);
}

// A hook server on the test's own loop with a manual clock. It records each event and answers
// with `reply`, or, while `hold` is set, holds it until the test resumes it; raw clients pump the
// loop while they wait.
struct HookHarness {
  std::string reply = "{\"hookSpecificOutput\":{}}";
  bool hold = false;
  std::vector<HookEvent> events;
  std::vector<std::shared_ptr<runtime::OneShot<Bytes>>> held;
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  testsupport::TempDir dir;
  std::filesystem::path folder = std::filesystem::path(dir.path()) / "data" / "agents";
  runtime::LogCapture log;
  std::shared_ptr<HookServer> server;

  asio::awaitable<Bytes> handle(HookEvent event) {
    events.push_back(std::move(event));
    if (!hold) co_return bytesOf(reply);
    auto shot = held.emplace_back(runtime::OneShot<Bytes>::make());
    co_return co_await shot->wait();
  }

  // What the server leaves to the blocking worker as it goes is done before its folder goes.
  ~HookHarness() {
    server->stop();
    pump();
  }

  // `prepare` sees the server's folder before the server starts.
  explicit HookHarness(HookServer::ListenerMaker listen = {}, std::size_t readingCap = 0,
                       const std::function<void(const std::filesystem::path&)>& prepare = {}) {
    if (prepare) prepare(folder);
    HookServer::Options options{clock, folder, std::move(listen), readingCap};
    server = HookServer::make(
        io.get_executor(), kToken, [this](HookEvent event) { return handle(std::move(event)); },
        options);
    server->start();
    pump();
  }

  void pump() { brindlet::testing::drain(io); }

  std::unique_ptr<testsupport::LoopbackClient> connect() {
    return std::make_unique<testsupport::LoopbackClient>(server->port().value(),
                                                         [this] { pump(); });
  }

  // Sends the request in the given pieces and reads to the end: the server's whole reply.
  std::string exchange(const std::vector<std::string>& pieces, bool finish = false) {
    auto client = connect();
    for (const auto& piece : pieces) client->send(piece);
    if (finish) client->finish();
    return client->readToEnd(std::chrono::seconds(3));
  }
};

std::string okReply(std::string_view body) {
  return replyHead("200 OK", body.size()) + std::string(body);
}

const std::string kForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
    "Connection: close\r\n\r\n{}";

HookEvent eventWith(std::string body, std::string vendor = "claude", TerminalLocation where = {}) {
  return HookEvent{std::move(vendor), bytesOf(body), std::move(where)};
}

struct Case {
  const char* name;
  std::vector<std::string> pieces;
  std::optional<HookEvent> event;  // served with this event; else refused
  bool forbidden = false;          // refused with 403 rather than closed without a reply
  bool finish = false;             // the client ends its sending side after the pieces
};

std::string withBody(std::string head, std::string_view body) {
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string kHead = "POST /hook HTTP/1.1\r\nX-Brindlet-Token: " + kToken + "\r\n";

std::vector<Case> requestCases() {
  const auto post = hookPost("{\"a\":1}");
  const std::string fourMiB(HookRequestReader::maxBytes, 'x');
  // Head and body of exactly 4 MiB (the length has seven digits either way).
  const auto headOf = [](std::size_t length) {
    return kHead + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
  };
  const auto bodySize = HookRequestReader::maxBytes - headOf(4000000).size();
  const auto fullHead = headOf(bodySize);
  const auto exact = fullHead + std::string(bodySize, 'b');
  const auto over = headOf(bodySize + 1) + std::string(bodySize + 1, 'b');
  return {
      {"one piece", {post}, eventWith("{\"a\":1}")},
      {"bytes after the body are ignored",
       {post + "GET / HTTP/1.1\r\n\r\n"},
       eventWith("{\"a\":1}")},
      {"body byte for byte",
       {hookPost(std::string("x\0\xff\r\n", 5))},
       eventWith(std::string("x\0\xff\r\n", 5))},
      {"no content length: empty body", {kHead + "\r\n"}, eventWith("")},
      {"terminal headers, trimmed, any case",
       {withBody(kHead + "x-term:  iTerm.app \r\nX-TTY: pts/4\r\nX-TMUX-PANE: %3\r\n"
                         "X-Term-Session: w0t0p0:AB CD\t\r\n",
                 "{}")},
       eventWith("{}", "claude", {"iTerm.app", "pts/4", "%3", "w0t0p0:AB CD"})},
      {"a tty of ? is none", {withBody(kHead + "X-TTY: ?\r\n", "")}, eventWith("")},
      {"later duplicate header wins",
       {withBody(kHead + "X-Term: one\r\nX-Term: two\r\n", "")},
       eventWith("", "claude", {"two", "", "", ""})},
      {"later token wins",
       {withBody("GET / HTTP/1.1\r\nX-Brindlet-Token: nope\r\nx-brindlet-token: " + kToken + "\r\n",
                 "")},
       eventWith("")},
      {"no query: claude", {hookPost("", "", "/hook")}, eventWith("")},
      {"empty vendor", {hookPost("", "", "/hook?vendor=")}, eventWith("", "")},
      {"valueless vendor", {hookPost("", "", "/hook?vendor")}, eventWith("", "")},
      {"second vendor wins", {hookPost("", "", "/hook?vendor=a&vendor=b")}, eventWith("", "b")},
      {"plus stays plus, escapes decoded",
       {hookPost("", "", "/hook?vendor=c+d%20%C3%A9")},
       eventWith("", "c+d é")},
      {"unparsable target: no query", {hookPost("", "", "/hook?vendor=%zz")}, eventWith("")},
      {"4 MiB in all", {exact}, eventWith(exact.substr(fullHead.size()))},
      // Refused with 403: the handler is not called.
      {"no token", {"POST /hook HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}, {}, true},
      {"token in other letter case",
       {"POST / HTTP/1.1\r\nX-Brindlet-Token: " + std::string("0f8c2a5e") + kToken.substr(8) +
        "\r\n\r\n"},
       {},
       true},
      {"shorter token", {"POST / HTTP/1.1\r\nX-Brindlet-Token: 0F8C\r\n\r\n"}, {}, true},
      // Closed without a reply.
      {"bare line feeds", {"POST /hook HTTP/1.1\nX-Brindlet-Token: " + kToken + "\n\n"}, {}},
      {"content length with a plus", {kHead + "Content-Length: +2\r\n\r\n{}"}, {}},
      {"content length of letters", {kHead + "Content-Length: two\r\n\r\n{}"}, {}},
      {"negative content length", {kHead + "Content-Length: -1\r\n\r\n{}"}, {}},
      {"conflicting content lengths",
       {kHead + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}x"},
       {}},
      {"content lengths as a list", {kHead + "Content-Length: 2, 2\r\n\r\n{}"}, {}},
      {"content lengths as a list without a blank", {kHead + "Content-Length: 2,2\r\n\r\n{}"}, {}},
      {"target not UTF-8", {hookPost("", "", "/hook\xff")}, {}},
      {"header value of 65534 bytes",
       {withBody(kHead + "X-Pad: " + std::string(65534, 'p') + "\r\n", "")},
       {}},
      {"blank before a colon",
       {"POST / HTTP/1.1\r\nX-Brindlet-Token : " + kToken + "\r\n\r\n"},
       {}},
      {"request line with only a method", {"POST\r\nX-Brindlet-Token: " + kToken + "\r\n\r\n"}, {}},
      {"header value not UTF-8", {withBody(kHead + "X-Term: \xc3\x28\r\n", "")}, {}},
      {"vendor not UTF-8", {hookPost("", "", "/hook?vendor=%FF")}, {}},
      {"peer ends before the body", {kHead + "Content-Length: 5\r\n\r\n{}"}, {}, false, true},
      {"one byte over 4 MiB", {over}, {}},
      {"declared body over 4 MiB", {kHead + "Content-Length: 4194305\r\n\r\n"}, {}},
      {"endless head", {"POST / HTTP/1.1\r\nX-Pad: " + fourMiB}, {}},
  };
}

TEST(HookServer, AnswersOrRefusesEachRequest) {
  for (const auto& c : requestCases()) {
    HookHarness h;
    const auto reply = h.exchange(c.pieces, c.finish);
    if (c.event) {
      EXPECT_EQ(reply, okReply(h.reply)) << c.name;
      ASSERT_EQ(h.events.size(), 1u) << c.name;
      EXPECT_EQ(h.events[0], *c.event) << c.name;
    } else {
      EXPECT_EQ(reply, c.forbidden ? kForbidden : "") << c.name;
      EXPECT_TRUE(h.events.empty()) << c.name;
    }
    EXPECT_EQ(h.server->connectionCount(), 0u) << c.name;
  }
}

TEST(HookServer, ReadingLimitsCountOnlyConnectionsStillReading) {
  using std::chrono::milliseconds;
  using testsupport::LoopbackClient;
  HookHarness h;
  h.hold = true;
  // A held request no longer counts against the reading limit.
  auto heldClient = h.connect();
  heldClient->send(hookPost("{}"));
  ASSERT_EQ(h.held.size(), 1u);
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (std::size_t i = 0; i < HookServer::maxReading; ++i) silent.push_back(h.connect());
  h.pump();
  EXPECT_EQ(h.server->readingCount(), HookServer::maxReading);
  // A newcomer reads beside connections that are new themselves; once they have had their
  // moment without a whole head, it takes the place of the one reading longest.
  auto beside = h.connect();
  EXPECT_FALSE(silent.front()->isClosed());
  EXPECT_EQ(h.server->readingCount(), HookServer::maxReading + 1);
  brindlet::testing::runFor(h.io, *h.clock, HookServer::headMoment);
  auto extra = h.connect();
  EXPECT_EQ(silent.front()->readToEnd(), "");
  EXPECT_FALSE(extra->isClosed());
  EXPECT_EQ(h.server->readingCount(), HookServer::maxReading + 1);

  // The read limit closes the silent ones unanswered; the held one stays.
  brindlet::testing::runFor(h.io, *h.clock,
                            HookServer::readLimit - HookServer::headMoment - milliseconds(1));
  EXPECT_FALSE(silent.back()->isClosed());
  brindlet::testing::runFor(h.io, *h.clock, milliseconds(1));
  for (auto& client : silent) EXPECT_EQ(client->readToEnd(), "");
  EXPECT_EQ(beside->readToEnd(), "");
  EXPECT_FALSE(extra->isClosed());
  brindlet::testing::runFor(h.io, *h.clock, HookServer::headMoment);
  EXPECT_EQ(extra->readToEnd(), "");
  EXPECT_EQ(h.server->readingCount(), 0u);
  EXPECT_FALSE(heldClient->isClosed());

  h.held[0]->resume(bytesOf("{\"late\":1}"));
  EXPECT_EQ(heldClient->readToEnd(), okReply("{\"late\":1}"));
  h.hold = false;
  EXPECT_EQ(h.exchange({hookPost("{}")}), okReply(h.reply));

  // Places whose head has come are kept, however long they have had them.
  std::vector<std::unique_ptr<LoopbackClient>> headed;
  for (std::size_t i = 0; i < HookServer::maxReading; ++i) {
    headed.push_back(h.connect());
    headed.back()->send(kHead + "Content-Length: 2\r\n\r\n");
  }
  brindlet::testing::runFor(h.io, *h.clock, HookServer::headMoment);
  auto late = h.connect();
  late->send("POST");
  EXPECT_FALSE(late->isClosed());
  EXPECT_FALSE(headed.front()->isClosed());
  EXPECT_EQ(h.exchange({hookPost("{}")}), okReply(h.reply));
  headed.front()->send("{}");
  EXPECT_EQ(headed.front()->readToEnd(), okReply(h.reply));
  // The places still reading end with the server, before the loop goes.
  h.server->stop();
  h.pump();
}

// What a connection has sent when the server takes it: nothing, a whole head (of a two-byte
// body), the head and a byte of the body, or the whole request.
enum class Sent { nothing, head, slowBody, whole };

std::string bytesFor(Sent sent) {
  const std::string head = kHead + "Content-Length: 2\r\n\r\n";
  switch (sent) {
    case Sent::nothing:
      return "";
    case Sent::head:
      return head;
    case Sent::slowBody:
      return head + "{";
    case Sent::whole:
      return head + "{}";
  }
  return "";
}

// Which newcomer is read, served or left waiting in the backlog, and which reader makes room
// for it, with the connections reading below the soft limit, between it and the cap, and at the
// cap. One that waits is taken once the one reading longest has had its moment.
TEST(HookServer, AdmitsANewcomerByWhatItSentAndWhereTheCountStands) {
  using testsupport::LoopbackClient;
  enum class Gets { read, served, waits };
  constexpr std::size_t cap = HookServer::maxReading + 8;
  constexpr std::size_t below = 10, between = HookServer::maxReading + 2;
  constexpr std::size_t none = SIZE_MAX;
  const struct {
    const char* name;
    std::size_t readers;
    Sent oldest, others;  // what the one reading longest sent, and what the others did
    bool hadMoment;
    Sent newcomer;
    Gets gets;
    std::size_t evicted;  // the reader closed to make room, by age (once taken, for one waiting)
  } rows[] = {
      {"below: idle newcomer", below, Sent::nothing, Sent::nothing, true, Sent::nothing, Gets::read,
       none},
      {"below: whole newcomer", below, Sent::nothing, Sent::nothing, false, Sent::whole,
       Gets::served, none},
      {"between: idle readers had their moment", between, Sent::nothing, Sent::nothing, true,
       Sent::nothing, Gets::read, 0},
      {"between: idle readers still new", between, Sent::nothing, Sent::nothing, false,
       Sent::nothing, Gets::read, none},
      {"between: heads keep their places", between, Sent::head, Sent::head, true, Sent::nothing,
       Gets::read, none},
      {"between: slow bodies keep their places", between, Sent::slowBody, Sent::slowBody, true,
       Sent::head, Gets::read, none},
      {"between: an idle one goes before an older head", between, Sent::head, Sent::nothing, true,
       Sent::nothing, Gets::read, 1},
      {"cap: idle readers had their moment", cap, Sent::nothing, Sent::nothing, true, Sent::nothing,
       Gets::read, 0},
      {"cap: an idle one goes before an older head", cap, Sent::head, Sent::nothing, true,
       Sent::slowBody, Gets::read, 1},
      {"cap: heads had their moment", cap, Sent::head, Sent::head, true, Sent::nothing, Gets::read,
       0},
      {"cap: slow bodies had their moment", cap, Sent::slowBody, Sent::slowBody, true,
       Sent::slowBody, Gets::read, 0},
      {"cap: whole newcomer, readers had their moment", cap, Sent::slowBody, Sent::slowBody, true,
       Sent::whole, Gets::served, none},
      {"cap: idle newcomer, readers still new", cap, Sent::nothing, Sent::nothing, false,
       Sent::nothing, Gets::waits, 0},
      {"cap: head newcomer, readers still new", cap, Sent::head, Sent::head, false, Sent::head,
       Gets::waits, 0},
      {"cap: slow body newcomer, readers still new", cap, Sent::nothing, Sent::nothing, false,
       Sent::slowBody, Gets::waits, 0},
      {"cap: whole newcomer, readers still new", cap, Sent::head, Sent::head, false, Sent::whole,
       Gets::waits, none},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HookHarness h({}, cap);
    std::vector<std::unique_ptr<LoopbackClient>> readers;
    for (std::size_t i = 0; i < row.readers; ++i) {
      readers.push_back(h.connect());
      readers.back()->send(bytesFor(i == 0 ? row.oldest : row.others));
    }
    ASSERT_EQ(h.server->readingCount(), row.readers);
    if (row.hadMoment) brindlet::testing::runFor(h.io, *h.clock, HookServer::headMoment);
    // Its bytes are there before the server takes the connection.
    LoopbackClient newcomer(h.server->port().value(), [&h] { h.pump(); });
    newcomer.send(bytesFor(row.newcomer));
    if (row.gets == Gets::waits) {
      EXPECT_FALSE(newcomer.isClosed());
      EXPECT_EQ(h.server->readingCount(), cap);
      EXPECT_FALSE(readers.front()->isClosed());
      brindlet::testing::runFor(h.io, *h.clock, HookServer::headMoment);
    }
    if (row.newcomer == Sent::whole) {
      EXPECT_EQ(newcomer.readToEnd(std::chrono::seconds(3)), okReply(h.reply));
    } else {
      EXPECT_FALSE(newcomer.isClosed());
    }
    // The two reading longest, and the newest.
    for (const std::size_t i : {std::size_t(0), std::size_t(1), readers.size() - 1}) {
      EXPECT_EQ(readers[i]->isClosed(), i == row.evicted) << "reader " << i;
    }
    EXPECT_LE(h.server->readingCount(), cap);
    h.server->stop();
    h.pump();
  }
}

TEST(HookServer, SlowClientsCannotKeepTheHooksOut) {
  // Both ends of every connection are in this process.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  const rlimit saved = files;
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, 4096);
  files.rlim_max = std::max(files.rlim_max, files.rlim_cur);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);

  HookHarness h;
  h.server->stop();
  h.server = HookServer::make(
      h.io.get_executor(), kToken, [&h](HookEvent event) { return h.handle(std::move(event)); },
      HookServer::Options{runtime::Clock::system(), h.folder, {}});
  h.server->start();
  h.pump();
  const auto port = h.server->port().value();
  auto work = asio::make_work_guard(h.io);
  std::thread loop([&h] { h.io.run(); });
  {
    testsupport::SlowClients slow(port, 500);
    std::this_thread::sleep_for(1500ms);
    // Each a moment behind its connection, as on a busy computer.
    const int answered = testsupport::spacedRequests(
        port, hookPost("{}"), 35, 150ms,
        [&h](const std::string& reply) { return reply == okReply(h.reply); });
    std::printf("answered %d/35 beside 500 slow clients (%zu connections)\n", answered,
                slow.connections());
    EXPECT_EQ(answered, 35);
  }
  work.reset();
  asio::post(h.io, [&h] { h.server->stop(); });
  loop.join();
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

std::string contentsOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

TEST(HookServer, PublishesPrivateDiscoveryFilesAndRemovesOnlyItsOwn) {
  const auto oldMask = ::umask(0);
  HookHarness h;
  ::umask(oldMask);
  const auto port = h.server->port().value();
  const DiscoveryFile file{h.folder, port, kToken};
  EXPECT_EQ(contentsOf(file.jsonPath()),
            "{\"port\":" + std::to_string(port) + ",\"token\":\"" + kToken + "\"}");
  EXPECT_EQ(contentsOf(file.headersPath()), "X-Brindlet-Token: " + kToken + "\n");
  EXPECT_EQ(modeOf(h.folder), 0700u);
  EXPECT_EQ(modeOf(h.folder.parent_path()), 0700u);
  EXPECT_EQ(modeOf(file.jsonPath()), 0600u);
  EXPECT_EQ(modeOf(file.headersPath()), 0600u);
  EXPECT_EQ(h.log.messages("agents", runtime::LogLevel::info),
            std::vector<std::string>{"Hook server on 127.0.0.1:" + std::to_string(port)});

  h.server->stop();
  h.pump();  // the files go on the blocking worker
  EXPECT_FALSE(std::filesystem::exists(file.jsonPath()));
  EXPECT_FALSE(std::filesystem::exists(file.headersPath()));

  // Another run's files stay when this one stops.
  HookHarness second;
  const DiscoveryFile other{second.folder, 1, "OTHER"};
  other.write();
  second.server->stop();
  second.pump();
  EXPECT_EQ(contentsOf(other.jsonPath()), other.jsonText());
  EXPECT_EQ(contentsOf(other.headersPath()), other.headersText());
}

// A listener that is ready on a made-up port at once and fails when the test says so.
struct ScriptedListener : transport::Listener {
  StateHandler state;
  void setStateHandler(StateHandler handler) override { state = std::move(handler); }
  void setNewConnectionHandler(ConnectionHandler) override {}
  void start() override { state(State::ready, ""); }
  void cancel() override {}
  void pause() override {}
  void resume() override {}
  std::optional<std::uint16_t> port() const override { return 4321; }
};

TEST(HookServer, ListenerFailuresAreLoggedAndTakeTheFilesAlong) {
  auto listener = std::make_shared<ScriptedListener>();
  HookHarness h([listener](const asio::any_io_executor&) { return listener; });
  const DiscoveryFile file{h.folder, 4321, kToken};
  EXPECT_TRUE(std::filesystem::exists(file.jsonPath()));
  listener->state(transport::Listener::State::failed, "Address already in use");
  h.pump();
  EXPECT_FALSE(std::filesystem::exists(file.jsonPath()));
  EXPECT_FALSE(std::filesystem::exists(file.headersPath()));

  HookHarness none([](const asio::any_io_executor&) -> std::shared_ptr<transport::Listener> {
    throw std::system_error(std::make_error_code(std::errc::too_many_files_open));
  });
  EXPECT_EQ(none.server->port(), std::nullopt);
  for (auto* harness : {&h, &none}) harness->server->stop();
  EXPECT_EQ(h.log.messages("agents", runtime::LogLevel::error),
            (std::vector<std::string>{"Hook server failed: Address already in use",
                                      "Hook server: no listener"}));
}

// Discovery files whose place something else takes: the server runs on and tries again every
// fileRetry, leaving nothing between tries, until they are written or it stops.
TEST(HookServer, WritesItsFilesOnceTheirPlaceIsFree) {
  using runtime::LogLevel;
  // A file where the folder goes; a folder where server.json goes (server.headers is written).
  for (const std::string taken : {"", "server.json"}) {
    for (const bool stops : {false, true}) {
      SCOPED_TRACE("taken: '" + taken + (stops ? "', stopped" : "'"));
      HookHarness h({}, 0, [&taken](const std::filesystem::path& folder) {
        std::filesystem::create_directories(taken.empty() ? folder.parent_path() : folder / taken);
        if (taken.empty()) std::ofstream(folder) << "a file";
      });
      const auto port = h.server->port().value();
      const DiscoveryFile file{h.folder, port, kToken};
      const auto tries = [&h] { return h.log.messages("agents", LogLevel::debug).size() + 1; };
      brindlet::testing::runFor(h.io, *h.clock, HookServer::fileRetry - 1ms);
      EXPECT_EQ(tries(), 1u);
      brindlet::testing::runFor(h.io, *h.clock, 1ms + HookServer::fileRetry);
      EXPECT_EQ(tries(), 3u);
      EXPECT_FALSE(std::filesystem::exists(file.headersPath()));
      std::filesystem::remove(taken.empty() ? h.folder : h.folder / taken);
      if (stops) {
        h.server->stop();
        h.pump();
        EXPECT_EQ(h.clock->sleeperCount(), 0u);  // no try waits
      }
      brindlet::testing::runFor(h.io, *h.clock, HookServer::fileRetry);
      EXPECT_LE(HookServer::fileRetry, 5s);  // there within a few seconds of the place coming free
      EXPECT_EQ(contentsOf(file.jsonPath()), stops ? "" : file.jsonText());
      EXPECT_EQ(contentsOf(file.headersPath()), stops ? "" : file.headersText());
      const auto errors = h.log.messages("agents", LogLevel::error);
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_TRUE(errors[0].starts_with("Hook server file: ")) << errors[0];
      EXPECT_TRUE(errors[0].ends_with("; agents are off until the files can be written"));
      if (stops) continue;
      EXPECT_EQ(h.log.messages("agents", LogLevel::info),
                (std::vector<std::string>{"Hook server file written after 4 tries",
                                          "Hook server on 127.0.0.1:" + std::to_string(port)}));
    }
  }
}

// A server that stops while the writing of its files waits on the blocking worker, or that goes
// and leaves its loop to stand still, makes neither the files nor their folder afterwards.
TEST(HookServer, AStoppedServerMakesNoFilesAfterwards) {
  for (const bool loopRunsOn : {true, false}) {
    SCOPED_TRACE(loopRunsOn ? "stopped" : "gone, its loop standing still");
    testsupport::TempDir dir;
    const auto data = std::filesystem::path(dir.path()) / "data";
    asio::io_context io;
    auto listener = std::make_shared<ScriptedListener>();
    auto server = HookServer::make(
        io.get_executor(), kToken, {},
        {nullptr, data / "agents", [listener](const asio::any_io_executor&) { return listener; }});
    std::promise<void> release;
    asio::post(runtime::blockingWorker().executor(),
               [held = release.get_future()] { held.wait(); });
    server->start();
    io.poll();  // the writing is queued behind the held worker
    server->stop();
    if (!loopRunsOn) server.reset();
    release.set_value();
    if (loopRunsOn) brindlet::testing::drain(io);
    while (runtime::blockingCallsInFlight() > 0) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(std::filesystem::exists(data));
    brindlet::testing::drain(io);
  }
}

}  // namespace
}  // namespace brindlet::agents
