// A deck key that leaves a program writing without pause in the background (`yes &`): the app's
// CPU over 10 s while the program runs, beside the same app still over the 10 s just before (its
// deck in front, the phone linked, nothing running); and whether the program lived on and ended
// with the app. Then a key whose command itself writes without pause (`yes`, in the foreground,
// with a time-out of 14 s): the app's CPU over 10 s while it runs, before the other key. And a key
// whose command writes 1 GB and ends: its throughput through the app's drain of output past the
// limit, beside the same command writing to /dev/null alone, in the same run.

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
  double still = -1, chatty = -1, foreground = -1;  // cores
  double drained = -1, alone = -1;                  // MB/s
  bool livedOn = false, endedAtQuit = false;
} figures;

// Writes 1 GB of zeros, then the nanoseconds that took into `took`.
constexpr double kHeavyBytes = 1e9;
std::string heavyCommand(const std::string& sink, const std::string& took) {
  return "s=$(date +%s%N); head -c 1000000000 /dev/zero" + sink +
         "; echo $(($(date +%s%N) - s)) > " + took;
}

// The MB/s of the heavy command, from what it wrote into `took`.
double throughputOf(const std::string& took) {
  return kHeavyBytes / 1e6 / (std::atof(testsupport::readFile(took).c_str()) / 1e9);
}

std::string keysProfile(const std::string& pidFile) {
  return R"({"schema":1,"id":"com.bench.keys","name":"Keys","apps":[")" + kKeysClass +
         R"("],"layouts":{"compact":["chatty"],"regular":["chatty","loud","heavy"]},"keys":{)" +
         R"("chatty":{"label":"Chatty","symbol":"y","action":{"kind":"shell","command":)" +
         R"("yes & echo $! > )" + pidFile + R"("}},"loud":{"label":"Loud","symbol":"y","action":)" +
         R"({"kind":"shell","command":"echo $$ > )" + pidFile +
         R"(.loud; exec yes","timeoutSeconds":14}},"heavy":{"label":"Heavy","symbol":"y",)" +
         R"("action":{"kind":"shell","command":")" + heavyCommand("", pidFile + ".heavy") +
         R"(","timeoutSeconds":60}}}})";
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
      // The foreground key first, alone: its time-out ends it before the other key's turn.
      app.tell(R"(send {"t":"deckAction","id":8,"profile":"com.bench.keys","key":"loud",)"
               R"("phase":"press"})");
      pid_t loud = 0;
      if (!testsupport::eventually(
              [&] {
                return (loud = std::atoi(testsupport::readFile(pidFile + ".loud").c_str())) > 0;
              },
              10s, 20ms))
        throw std::runtime_error("the loud key's program did not start");
      app.idle(1s);
      figures.foreground = testsupport::coresOver(app.pid(), kSpan, idle);
      if (!testsupport::processesGone({loud}, 10s)) throw std::runtime_error("the loud key ran on");
      app.idle(1s);
      app.tell(R"(send {"t":"deckAction","id":9,"profile":"com.bench.keys","key":"heavy",)"
               R"("phase":"press"})");
      const auto heavyDone = [&] {
        app.idle(50ms);
        const auto took = testsupport::readFile(pidFile + ".heavy");
        return !took.empty() && took.back() == '\n';
      };
      if (!testsupport::eventually(heavyDone, 60s, 0ms))
        throw std::runtime_error("the heavy key's program did not end");
      figures.drained = throughputOf(pidFile + ".heavy");
      app.idle(1s);
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
    const auto alone = pidFile + ".alone";
    const auto reference = heavyCommand(" > /dev/null", alone);
    if (std::system(reference.c_str()) != 0) throw std::runtime_error("the reference failed");
    figures.alone = throughputOf(alone);
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
  std::printf(
      "the app's cores over 10 s with a key's `yes` writing in the foreground: %.4f (goal <= "
      "0.05), the same app still: %.4f\n",
      figures.foreground, figures.still);
  std::printf(
      "a key's program writing 1 GB through the drain of output past the limit: %.0f MB/s, the "
      "same command writing to /dev/null alone: %.0f MB/s\n",
      figures.drained, figures.alone);
  return 0;
}
