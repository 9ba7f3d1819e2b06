// A deck key that leaves a program writing without pause in the background (`yes &`): the app's
// CPU over 10 s while the program runs, beside the same app still over the 10 s just before (its
// deck in front, the phone linked, nothing running); and whether the program lived on and ended
// with the app.

#include <benchmark/benchmark.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "app/AppSession.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"

namespace {

using namespace brindlet;
using namespace std::chrono_literals;

constexpr auto kSpan = 10s;
const std::string kKeysClass = "BenchKeys";

struct {
  double still = -1, chatty = -1;  // cores
  bool livedOn = false, endedAtQuit = false;
} figures;

std::string keysProfile(const std::string& pidFile) {
  return R"({"schema":1,"id":"com.bench.keys","name":"Keys","apps":[")" + kKeysClass +
         R"("],"layouts":{"compact":["chatty"],"regular":["chatty"]},"keys":{"chatty":)" +
         R"({"label":"Chatty","symbol":"y","action":{"kind":"shell","command":"yes & echo $! > )" +
         pidFile + R"("}}}})";
}

void BM_ChattyKey(benchmark::State& state) {
  bench::AppSession session;
  const auto pidFile = session.home().file("yes.pid");
  std::ofstream(session.home().file("data/Brindlet/Profiles/" + kKeysClass + ".json"))
      << keysProfile(pidFile);
  for (auto _ : state) {
    pid_t yes = 0;
    {
      bench::RunningApp app(session);
      const auto idle = [&] { app.idle(100ms); };
      auto terminal = session.x().start({"xterm", "-class", kKeysClass, "-e", "sleep", "100000"});
      if (!testsupport::eventually(
              [&] {
                session.x().run({"wmctrl", "-x", "-a", kKeysClass});
                app.idle(100ms);
                return app.phoneSaid("{\"app\":\"" + kKeysClass + "\"") > 0;
              },
              20s, 0ms))
        throw std::runtime_error("the keys' deck was not shown");
      app.idle(2s);
      figures.still = testsupport::coresOver(app.pid(), kSpan, idle);
      app.tell(R"(send {"t":"deckAction","id":7,"profile":"com.bench.keys","key":"chatty",)"
               R"("phase":"press"})");
      if (!testsupport::eventually(
              [&] { return (yes = std::atoi(testsupport::readFile(pidFile).c_str())) > 0; }, 10s,
              20ms))
        throw std::runtime_error("the key's program did not start");
      app.idle(1s);
      figures.chatty = testsupport::coresOver(app.pid(), kSpan, idle);
      figures.livedOn = !testsupport::processGone(yes);
    }  // the app quits
    figures.endedAtQuit = testsupport::processesGone({yes});
    if (!figures.endedAtQuit) ::kill(yes, SIGKILL);
  }
}
BENCHMARK(BM_ChattyKey)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  std::printf(
      "the app's cores over 10 s with a key's `yes &` writing in the background: %.4f, the same "
      "app still just before: %.4f (the program %s, and %s with the app)\n",
      figures.chatty, figures.still, figures.livedOn ? "lived on" : "died",
      figures.endedAtQuit ? "ended" : "did not end");
  return 0;
}
