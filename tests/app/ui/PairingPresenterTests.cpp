#include <gtest/gtest.h>

#include <QPointer>

#include <atomic>

#include "app/ui/PairingPresenter.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "support/Loop.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsFor;
using testsupport::processEventsUntil;

// A stand-in for the connector's pairing: no pairing, or one in a state.
enum class Pairing { none, asking, entering, checking, lockedOut };

PairingLook lookOf(Pairing p) {
  PairingLook look;
  look.title = p == Pairing::lockedOut ? "Too many attempts" : "Pair with Ada's iPhone";
  look.entering = p == Pairing::entering;
  look.pulse = p == Pairing::asking || p == Pairing::checking;
  look.action = p == Pairing::checking                           ? PairingLook::Action::spinner
                : p == Pairing::asking || p == Pairing::entering ? PairingLook::Action::cancel
                                                                 : PairingLook::Action::close;
  return look;
}

// The reaction rules: an accepted code (checking, then none) closes the window.
PairingReaction reactionTo(Pairing old, Pairing now) {
  PairingReaction r;
  r.close = old == Pairing::checking && now == Pairing::none;
  r.focus = now == Pairing::entering;
  return r;
}

struct PresenterTest : ::testing::Test {
  runtime::MainLoop loop;
  runtime::LoopThread thread{loop};
  runtime::Observable<Pairing> pairing{Pairing::none};
  std::atomic<int> cancels{0};
  std::unique_ptr<PairingPresenter<Pairing>> presenter;
  SingleWindow window{[this] {
    auto* w = new PairingWindow(
        [](const std::string&, const std::string& typed) {
          return PairingCodeField::Filtered{typed, false};
        },
        nullptr,
        // Closing the window in any way cancels the attempt, on the loop.
        [this, toLoop = loopPost(loop)] { toLoop([this] { ++cancels; }); });
    presenter->dress(*w);
    return w;
  }};

  void SetUp() override {
    presenter = std::make_unique<PairingPresenter<Pairing>>(
        pairing, PairingPresenter<Pairing>::Model{lookOf, reactionTo}, window);
  }
  void TearDown() override { presenter.reset(); }

  void setInOneTurn(std::initializer_list<Pairing> states) {
    testing::onLoop(loop, [&] {
      for (Pairing p : states) pairing.set(p);
      return 0;
    });
  }
};

TEST_F(PresenterTest, ACheckThatEndsWithinOneTurnStillClosesTheWindow) {
  setInOneTurn({Pairing::asking, Pairing::entering});
  QPointer<QWidget> shown = window.show();
  ASSERT_TRUE(processEventsUntil(
      [&] { return static_cast<PairingWindow*>(shown.data())->look().entering; }));
  // Checking and its end come in one turn of the loop: coalesced, the window would only see
  // none after entering and stay open.
  setInOneTurn({Pairing::checking, Pairing::none});
  ASSERT_TRUE(processEventsUntil([&] { return shown.isNull(); }));
  EXPECT_TRUE(processEventsUntil([&] { return cancels == 1; }));
}

TEST_F(PresenterTest, AWindowOpenedLaterShowsTheStateAndAClosePostsOneCancel) {
  setInOneTurn({Pairing::asking, Pairing::entering});
  processEventsFor(std::chrono::milliseconds(20));
  QPointer<QWidget> shown = window.show();
  auto* w = static_cast<PairingWindow*>(shown.data());
  EXPECT_TRUE(w->look().entering);
  w->close();
  ASSERT_TRUE(processEventsUntil([&] { return shown.isNull(); }));
  processEventsFor(std::chrono::milliseconds(20));
  EXPECT_EQ(cancels, 1);
}

}  // namespace
}  // namespace brindlet::app::ui
