#pragma once

// Shows the phone connector's pairing in the pairing window. Every change of the pairing
// reaches the window, one by one and in order, never coalesced: the window's reactions depend
// on the state before (a code accepted while checking closes the window), and a check that ends
// within one turn of the Qt loop must still be seen to end.

#include <functional>
#include <optional>
#include <utility>

#include "app/ui/FramelessWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/QtBridge.h"
#include "runtime/Observable.h"

namespace brindlet::app::ui {

template <class Pairing>
class PairingPresenter {
 public:
  // What the shell's pairing view model says of a state and of a change.
  struct Model {
    std::function<PairingLook(const Pairing&)> look;
    std::function<PairingReaction(const Pairing& old, const Pairing& now)> react;
  };

  // `window` holds the pairing window while it is open; made on the Qt thread.
  PairingPresenter(runtime::Observable<Pairing>& pairing, Model model, SingleWindow& window)
      : model_(std::move(model)),
        window_(window),
        steps_(pairing, [this](const Pairing& now) { step(now); }) {}

  // The window drawn for the newest state: for a window that is opened now.
  void dress(PairingWindow& window) const {
    if (last_) window.setLook(model_.look(*last_));
  }

 private:
  void step(const Pairing& now) {
    auto* window = static_cast<PairingWindow*>(window_.window());
    std::optional<PairingReaction> reaction;
    if (last_) reaction = model_.react(*last_, now);
    last_ = now;
    if (!window) return;
    window->setLook(model_.look(now));
    if (reaction) window->react(*reaction);
  }

  Model model_;
  SingleWindow& window_;
  std::optional<Pairing> last_;
  QtSteps<Pairing> steps_;  // last: it delivers into the members above
};

}  // namespace brindlet::app::ui
