#include "app/AppSession.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/Eventually.h"
#include "support/SessionBus.h"
#include "support/Trayer.h"

namespace brindlet::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ChildProcess;

namespace {

const std::string kDeckClass = "BenchDeck";
constexpr auto kTick = 250ms;  // the deck's

std::string deckProfile(const std::string& logs) {
  const auto key = [](const std::string& name, const std::string& state) {
    return "\"" + name + "\":{\"label\":\"" + name + "\",\"symbol\":\"hammer\",\"action\":" +
           R"({"kind":"shell","command":"true"},"state":)" + state + "}";
  };
  return R"({"schema":1,"id":"com.bench.deck","name":"Bench","apps":[")" + kDeckClass +
         R"("],"layouts":{"compact":["build","test","server","title"],)" +
         R"("regular":["build","test","server","title"]},"keys":{)" +
         key("build", R"({"reader":"logTail","path":")" + logs + R"(/build.log","lines":1})") +
         "," + key("test", R"({"reader":"logTail","path":")" + logs + R"(/test.log","lines":1})") +
         "," + key("server", R"({"reader":"process","name":"Xorg"})") + "," +
         key("title", R"({"reader":"axValue","path":"window[0]"})") + "}}";
}

// One line of `name: value` in a /proc file, in kB, as bytes.
double kilobytesIn(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + ":");
  if (at == std::string::npos) throw std::runtime_error("no " + name + " in smaps_rollup");
  return std::strtod(text.c_str() + at + name.size() + 2, nullptr) * 1024;
}

bool visible(const testsupport::XServer& x, const std::string& title) {
  return x.run({"xdotool", "search", "--onlyvisible", "--name", title}).status == 0;
}

}  // namespace

std::vector<std::string> privateHome(const testsupport::TempDir& home, bool setupComplete) {
  std::vector<std::string> env{"env", "HOME=" + home.path()};
  const std::pair<const char*, const char*> folders[] = {{"XDG_DATA_HOME", "data"},
                                                         {"XDG_CONFIG_HOME", "config"},
                                                         {"XDG_CACHE_HOME", "cache"},
                                                         {"XDG_RUNTIME_DIR", "run"}};
  for (const auto& [variable, name] : folders) {
    fs::create_directories(home.file(name));
    fs::permissions(home.file(name), fs::perms::owner_all, fs::perm_options::replace);
    env.push_back(std::string(variable) + "=" + home.file(name));
  }
  if (setupComplete) {
    fs::create_directories(home.file("config/brindlet"));
    std::ofstream(home.file("config/brindlet/defaults.json")) << R"({"onboardingComplete":true})";
  }
  env.push_back("XDG_SESSION_TYPE=x11");
  return env;
}

Memory memoryOf(pid_t pid) {
  const std::string text =
      "\n" + testsupport::readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
  return Memory{kilobytesIn(text, "Rss"), kilobytesIn(text, "Pss"), kilobytesIn(text, "Pss_Anon")};
}

WakeUps wakeUpsOf(pid_t pid) {
  WakeUps wakes;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    const std::string text = "\n" + testsupport::readFile((task.path() / "status").string());
    const auto at = text.find("\nvoluntary_ctxt_switches:");
    if (at != std::string::npos)
      wakes[std::atoi(task.path().filename().c_str())] = std::atol(text.c_str() + at + 26);
  }
  return wakes;
}

long wakeUpsSince(const WakeUps& before, pid_t pid) {
  long wakes = 0;
  for (const auto& [thread, count] : wakeUpsOf(pid)) {
    const auto earlier = before.find(thread);
    wakes += count - (earlier == before.end() ? 0 : earlier->second);
  }
  return wakes;
}

AppSession::AppSession() {
  testsupport::usePrivateHome(home_.path());
  x_ = std::make_unique<testsupport::XServer>(testsupport::XServer::Kind::xorgDummy);
  x_->startWindowManager();
  trayer_ = testsupport::startTrayer(*x_);
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("NO_AT_BRIDGE");
  bus_ = testsupport::startSessionBus(
      home_.path(),
      "(env DISPLAY=" + x_->display() +
          " /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &) && "
          "echo | exec gnome-keyring-daemon --foreground --unlock --components=secrets "
          ">/dev/null 2>&1",
      "org.freedesktop.secrets");
  // Accessibility granted, as after the welcome window's walk: apps publish their trees, and the
  // app starts without the welcome window.
  if (!testsupport::eventually(
          [] {
            return testsupport::runProgram({"dbus-send", "--session", "--dest=org.a11y.Bus",
                                            "/org/a11y/bus", "org.freedesktop.DBus.Properties.Set",
                                            "string:org.a11y.Status", "string:IsEnabled",
                                            "variant:boolean:true"})
                       .status == 0;
          },
          10s, 50ms))
    throw std::runtime_error("the accessibility bus did not come up");

  fs::create_directories(home_.file("config/glib-2.0/settings"));
  std::ofstream(home_.file("config/glib-2.0/settings/keyfile"))
      << "[org/gnome/desktop/interface]\nenable-animations=false\n";
  fs::create_directories(home_.file("logs"));
  growLogs();
  fs::create_directories(home_.file("data/Brindlet/Profiles"));
  std::ofstream(home_.file("data/Brindlet/Profiles/" + kDeckClass + ".json"))
      << deckProfile(home_.file("logs"));

  bare_ = x_->start({"env", "QT_QPA_PLATFORM=xcb", APP_UI_HARNESS, "bare-tray"});
  bareIcon_ = dockedIcon("(\"app-ui-harness\" \"Bare\")");
}

AppSession::~AppSession() {
  bare_.reset();
  trayer_.reset();
  x_.reset();
  bus_.reset();
}

std::pair<int, int> AppSession::dockedIcon(const std::string& windowClass) const {
  std::optional<std::pair<int, int>> at;
  if (!testsupport::eventually(
          [&] { return (at = testsupport::dockedIcon(*x_, windowClass)).has_value(); }, 20s, 20ms))
    throw std::runtime_error(windowClass + " did not dock");
  return *at;
}

void AppSession::growLogs() {
  ++grown_;
  for (const char* name : {"build.log", "test.log"})
    std::ofstream(home_.file("logs/") + name, std::ios::app)
        << name << " line " << grown_ << ": compiling unit " << grown_ % 97 << "\n";
}

std::unique_ptr<ChildProcess> AppSession::deckTerminal() const {
  auto terminal = x_->start({"xterm", "-class", kDeckClass, "-e", "sleep", "100000"});
  if (!testsupport::eventually(
          [&] {
            return x_->run({"wmctrl", "-x", "-a", kDeckClass}).status == 0;
          },
          10s, 100ms))
    throw std::runtime_error("the deck's terminal did not come up: " + terminal->output());
  return terminal;
}

unsigned long AppSession::windowNamed(const std::string& title) const {
  if (!testsupport::eventually([&] { return visible(*x_, title); }, 5s, 20ms))
    throw std::runtime_error("no window \"" + title + "\"");
  const auto found = x_->run({"xdotool", "search", "--onlyvisible", "--name", title}).output;
  return std::stoul(found.substr(0, found.find('\n')));
}

RunningApp::RunningApp(AppSession& session, const std::vector<std::string>& environment)
    : session_(session) {
  usb_ = testsupport::startUsbPhone(BRINDLET_BINARY_DIR, run_.path());
  auto argv = privateHome(session.home(), true);
  argv.push_back(usb_.environment());
  argv.insert(argv.end(), environment.begin(), environment.end());
  argv.push_back(BRINDLET_APP);
  app_ = session.x().start(argv);
  icon_ = session.dockedIcon("(\"brindlet\" \"Brindlet\")");
  if (!usb_.phone->waitFor("connected(", 15s))
    throw std::runtime_error("the phone did not link: " + usb_.phone->output() + app_->output());
}

RunningApp::~RunningApp() {
  kill(app_->pid(), SIGTERM);
  app_->waitExit(5s);
  app_->stop();
}

int RunningApp::phoneSaid(const std::string& text) const {
  const std::string& said = usb_.phone->output();
  int found = 0;
  for (auto at = said.find(text); at != std::string::npos; at = said.find(text, at + 1)) ++found;
  return found;
}

void RunningApp::tell(const std::string& command) {
  const std::string ok = "ok " + command.substr(0, command.find(' '));
  const int before = phoneSaid(ok), failed = phoneSaid("error ");
  usb_.phone->write(command + "\n");
  if (!testsupport::eventually(
          [&] {
            usb_.phone->waitFor("\x01", 20ms);
            return phoneSaid(ok) > before || phoneSaid("error ") > failed;
          },
          10s, 1ms) ||
      phoneSaid("error ") > failed)
    throw std::runtime_error("the phone could not " + command + ": " + usb_.phone->output());
}

void RunningApp::idle(std::chrono::milliseconds span) {
  const auto end = Clock::now() + span;
  auto tick = Clock::now();
  while (Clock::now() < end) {
    if (Clock::now() >= tick) {
      session_.growLogs();
      tick += kTick;
    }
    const auto next = std::min(end, tick);
    usb_.phone->waitFor("\x01", std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()));
  }
}

testsupport::Monitor RunningApp::showDisplay() {
  const int ready = phoneSaid("\"t\":\"displayReady\""), frames = phoneSaid("frame video");
  tell("pane 393 852 3");
  std::optional<testsupport::Monitor> shown;
  const bool streaming = testsupport::eventually(
      [&] {
        usb_.phone->waitFor("\x01", 20ms);
        if (phoneSaid("\"t\":\"displayReady\"") == ready || phoneSaid("frame video") == frames)
          return false;
        for (const auto& m : testsupport::monitors(session_.x()))
          if (m.width == 1178 && m.height == 2556) shown = m;
        return shown.has_value();
      },
      20s, 1ms);
  if (!streaming) throw std::runtime_error("no stream: " + usb_.phone->output());
  return *shown;
}

ScrollingPicture::ScrollingPicture(const std::string& display, const testsupport::Monitor& monitor)
    : thread_([this, display, monitor] { run(display, monitor); }) {}

ScrollingPicture::~ScrollingPicture() {
  running_ = false;
  thread_.join();
}

void ScrollingPicture::run(const std::string& name, testsupport::Monitor m) {
  constexpr int kLine = 16;  // pixels a frame moves the picture up
  constexpr int kRate = 60;
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return;
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(d, 0);
  const Window w = XCreateWindow(d, DefaultRootWindow(d), m.x, m.y, unsigned(m.width),
                                 unsigned(m.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                 CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(d, w);
  XGCValues values{};
  values.graphics_exposures = False;
  GC gc = XCreateGC(d, w, GCGraphicsExposures, &values);
  auto next = Clock::now();
  for (int i = 0; running_; ++i) {
    XCopyArea(d, w, w, gc, 0, kLine, unsigned(m.width), unsigned(m.height - kLine), 0, 0);
    XSetForeground(d, gc, BlackPixel(d, 0));
    XFillRectangle(d, w, gc, 0, m.height - kLine, unsigned(m.width), kLine);
    XSetForeground(d, gc, WhitePixel(d, 0));
    std::ostringstream line;
    line << "[" << i << "] ";
    for (int word = 0; word < 24; ++word) line << "unit" << (i * 31 + word * 7) % 1009 << ".o ";
    const std::string text = line.str();
    XDrawString(d, w, gc, 4, m.height - 4, text.c_str(), int(text.size()));
    XSync(d, False);
    drawn_ = i + 1;
    next += std::chrono::nanoseconds(1'000'000'000 / kRate);
    std::this_thread::sleep_until(next);
  }
  XFreeGC(d, gc);
  XDestroyWindow(d, w);
  XCloseDisplay(d);
}

ScatteredFills::ScatteredFills(const std::string& display, const testsupport::Monitor& monitor,
                               int rate, bool onTop)
    : thread_([this, display, monitor, rate, onTop] { run(display, monitor, rate, onTop); }) {}

ScatteredFills::~ScatteredFills() {
  running_ = false;
  thread_.join();
}

void ScatteredFills::run(const std::string& name, testsupport::Monitor m, int rate, bool onTop) {
  constexpr int kSide = 2;
  constexpr auto kStep = std::chrono::milliseconds(1);
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return;
  Window target = DefaultRootWindow(d);
  if (onTop) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(d, 0);
    target =
        XCreateWindow(d, target, m.x, m.y, unsigned(m.width), unsigned(m.height), 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, target);
    // Its own coordinates start at the monitor's corner.
    m.x = m.y = 0;
  }
  GC gc = XCreateGC(d, target, 0, nullptr);
  std::uint32_t random = 12345;
  const auto next = [&random] { return random = random * 1664525u + 1013904223u; };
  auto due = Clock::now();
  // Each millisecond its share of the rate, then a round trip: a server that falls behind slows
  // the drawing, as it would the program that draws.
  for (std::int64_t step = 1; running_; ++step) {
    const int count = int(step * rate / 1000 - (step - 1) * rate / 1000);
    for (int i = 0; i < count; ++i) {
      XSetForeground(d, gc, next() & 0xFFFFFF);
      XFillRectangle(d, target, gc, m.x + int(next() % unsigned(m.width - kSide)),
                     m.y + int(next() % unsigned(m.height - kSide)), kSide, kSide);
    }
    XSync(d, False);
    drawn_ += count;
    due += kStep;
    std::this_thread::sleep_until(due);
  }
  XFreeGC(d, gc);
  if (onTop) XDestroyWindow(d, target);
  XCloseDisplay(d);
}

namespace {

// One POST of a hook event as curl makes it; whether the server answered 200.
bool postHook(std::uint16_t port, const std::string& token, const std::string& body) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const std::string request =
      "POST /hook?vendor=claude HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nX-Brindlet-Token: " + token +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n" + body;
  for (std::size_t sent = 0; ok && sent < request.size();) {
    const auto n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    ok = n > 0;
    if (ok) sent += std::size_t(n);
  }
  std::string reply;
  char buffer[4096];
  for (ssize_t n = 0; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
    reply.append(buffer, std::size_t(n));
  ::close(fd);
  return reply.rfind("HTTP/1.1 200", 0) == 0;
}

// The next event of a card: a prompt, a tool, its end, over and over.
std::string hookEvent(int session, int round, const std::string& folder) {
  const std::string head = R"({"session_id":"bench-)" + std::to_string(session) + R"(","cwd":")" +
                           folder + R"(","hook_event_name":)";
  const std::string step = std::to_string(round);
  switch (round % 3) {
    case 0:
      return head + R"("UserPromptSubmit","prompt":"Make step )" + step + R"( pass"})";
    case 1:
      return head + R"("PreToolUse","tool_name":"Bash","tool_input":{"command":"make step-)" +
             step + R"("}})";
    default:
      return head + R"("Stop","last_assistant_message":"Step )" + step + R"( passes."})";
  }
}

}  // namespace

AgentSessions::AgentSessions(const AppSession& session, int sessions) {
  const std::string folder = session.home().file("data/com.velvane.mac/agents");
  if (!testsupport::eventually([&] { return fs::exists(folder + "/server.headers"); }, 10s, 20ms))
    throw std::runtime_error("the app's hook server did not publish itself");
  const std::string json = testsupport::readFile(folder + "/server.json");
  const auto port = json.find("\"port\":");
  const std::string headers = testsupport::readFile(folder + "/server.headers");
  const auto token = headers.find(": ");
  if (port == std::string::npos || token == std::string::npos)
    throw std::runtime_error("no port or token in " + json + headers);
  thread_ = std::thread(
      &AgentSessions::run, this, std::uint16_t(std::atoi(json.c_str() + port + 7)),
      headers.substr(token + 2, headers.find('\n') - token - 2), session.home().path(), sessions);
}

AgentSessions::~AgentSessions() {
  running_ = false;
  thread_.join();
}

void AgentSessions::run(std::uint16_t port, std::string token, std::string folder, int sessions) {
  const auto every = std::chrono::microseconds(1'000'000 / sessions);
  auto next = Clock::now();
  for (int i = 0; running_; ++i) {
    const bool ok = postHook(port, token, hookEvent(i % sessions, i / sessions, folder));
    ++(ok ? answered_ : failed_);
    next += every;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace brindlet::bench
