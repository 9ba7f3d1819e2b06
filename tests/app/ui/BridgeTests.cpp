#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "app/ui/QtBridge.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/Observable.h"
#include "support/Loop.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using runtime::Observable;

// A model on a main loop run by its own thread, as in the app.
struct LoopModel {
  runtime::MainLoop loop;
  runtime::LoopThread thread{loop};
  Observable<int> value{0};

  // Sets each value in one turn of the loop, as a model changing in one step would.
  void setInOneTurn(const std::vector<int>& values) {
    testing::onLoop(loop, [&] {
      for (int v : values) value.set(v);
      return 0;
    });
  }
};

std::vector<int> range(int from, int to) {
  std::vector<int> values(static_cast<std::size_t>(to - from + 1));
  std::iota(values.begin(), values.end(), from);
  return values;
}

TEST(QtBridge, ASnapshotCoalescesToTheNewestValueOnTheQtThread) {
  LoopModel model;
  std::vector<int> got;
  bool onQtThread = true;
  QtSnapshot<int> snapshot(model.value, [&](int v) {
    onQtThread = onQtThread && QThread::currentThread() == qApp->thread();
    got.push_back(v);
  });
  model.setInOneTurn(range(1, 1000));
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return !got.empty() && got.back() == 1000; }));
  testsupport::processEventsFor(std::chrono::milliseconds(20));
  // Nothing ran on the Qt thread while the loop changed the value: one delivery, the newest.
  EXPECT_EQ(got, std::vector<int>{1000});
  EXPECT_TRUE(onQtThread);
}

TEST(QtBridge, StepsArriveEveryOneInOrder) {
  LoopModel model;
  std::vector<int> got;
  QtSteps<int> steps(model.value, [&](int v) { got.push_back(v); });
  auto expected = range(1, 1000);
  model.setInOneTurn(expected);
  // A value that returns to an earlier one is a step of its own.
  model.setInOneTurn({7, 8, 7});
  expected.insert(expected.begin(), 0);
  expected.insert(expected.end(), {7, 8, 7});
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return got.size() >= expected.size(); }));
  EXPECT_EQ(got, expected);
}

TEST(QtBridge, NothingIsDeliveredAfterTheEnd) {
  struct Case {
    const char* name;
    bool steps;
  };
  for (const Case c : {Case{"snapshot", false}, Case{"steps", true}}) {
    SCOPED_TRACE(c.name);
    LoopModel model;
    int delivered = 0;
    auto count = [&](int) { ++delivered; };
    {
      auto snapshot = c.steps ? nullptr : std::make_unique<QtSnapshot<int>>(model.value, count);
      auto steps = c.steps ? std::make_unique<QtSteps<int>>(model.value, count) : nullptr;
      model.setInOneTurn(range(1, 50));
      if (snapshot) snapshot->end();
      if (steps) steps->end();
      // Changes after the end are not even posted.
      model.setInOneTurn({60, 61});
      testsupport::processEventsFor(std::chrono::milliseconds(20));
      EXPECT_EQ(delivered, 0);
    }
    model.setInOneTurn({70});
    testsupport::processEventsFor(std::chrono::milliseconds(20));
    EXPECT_EQ(delivered, 0);
  }
}

TEST(QtBridge, APosterDropsWhatItHadQueuedWhenItGoes) {
  int ran = 0;
  Post post;
  {
    QtThreadPoster poster;
    post = poster.post();
    post([&] { ++ran; });
  }
  post([&] { ++ran; });
  testsupport::processEventsFor(std::chrono::milliseconds(20));
  EXPECT_EQ(ran, 0);
}

TEST(QtBridge, ClosuresPostedFromTheUiRunOnTheLoopInOrder) {
  LoopModel model;
  std::vector<int> ran;
  std::atomic<bool> onLoop{true};
  const Post toLoop = loopPost(model.loop);
  for (int i = 0; i < 100; ++i)
    toLoop([&, i] {
      onLoop = onLoop && model.loop.isCurrent();
      ran.push_back(i);
    });
  const auto count = testing::onLoop(model.loop, [&] { return ran.size(); });
  EXPECT_EQ(count, 100u);
  EXPECT_EQ(ran, range(0, 99));
  EXPECT_TRUE(onLoop);
}

}  // namespace
}  // namespace brindlet::app::ui
