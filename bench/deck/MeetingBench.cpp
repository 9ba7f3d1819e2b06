// One meeting scan over ten running apps, one of them a browser with a live meeting, against
// the scan's period of one second. The workspace answers from memory, so the figure is the
// scan's own cost, without the window system and accessibility calls a desktop adds.

#include <cstdio>

#include "BenchSupport.h"
#include "deck/MeetingAdapter.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"

namespace brindlet::deck {
namespace {

namespace asio = boost::asio;

struct Button : AccessibleElement {};

class MemoryWorkspace : public WorkspaceWatching {
 public:
  std::optional<FrontApp> currentFrontApp() override { return std::nullopt; }
  std::shared_ptr<runtime::AsyncQueue<FrontApp>> frontApps() override {
    return runtime::AsyncQueue<FrontApp>::make();
  }
  asio::awaitable<bool> activate(std::string, runtime::Duration) override { co_return true; }
  std::optional<std::string> focusedWindowTitle(std::int32_t) override { return std::nullopt; }
  std::vector<FrontApp> runningApps() override {
    std::vector<FrontApp> apps;
    for (const char* id : {"org.gnome.Nautilus", "Slack", "firefox", "code", "zoom",
                           "Google-chrome", "XTerm", "thunderbird", "libreoffice", "vlc"})
      apps.push_back(FrontApp{id, id, static_cast<std::int32_t>(apps.size() + 100)});
    return apps;
  }
  std::vector<std::string> windowTitles(std::int32_t pid) override {
    if (pid == 105) return {"Inbox - Gmail", "Meet - standup"};
    return {"Window one", "Window two"};
  }
  void raiseWindow(std::int32_t, std::string) override {}
  asio::awaitable<std::optional<Element>> findButton(std::int32_t, std::string,
                                                     std::vector<std::string>) override {
    co_return std::make_shared<Button>();
  }
  asio::awaitable<bool> press(Element) override { co_return true; }
};

void meetingScan(benchmark::State& state) {
  runtime::MainLoop loop;
  MemoryWorkspace workspace;
  const std::vector<std::string> recency = {"Google-chrome", "code"};
  for (auto _ : state) {
    std::optional<LiveMeeting> found;
    runtime::spawn(loop.context().get_executor(), [&]() -> asio::awaitable<void> {
      found = co_await MeetingAdapter::findLive(workspace, std::nullopt, recency);
    }());
    loop.drain();
    benchmark::DoNotOptimize(found);
    if (!found) state.SkipWithError("no meeting found");
  }
}
BENCHMARK(meetingScan);

}  // namespace
}  // namespace brindlet::deck

int main(int argc, char** argv) {
  auto& figures = brindlet::bench::runAll(argc, argv);
  const double ns = figures["meetingScan"].nsPerIteration;
  std::printf("meeting scan: %.1f us per scan = %.4f %% of its 1 s period (goal <= 1 %%)\n",
              ns / 1e3, ns / 1e9 * 100);
  return 0;
}
