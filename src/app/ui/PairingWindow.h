#pragma once

// The window in which the user types the pairing code the phone shows. It draws what the
// pairing's view model says (title, message, which action, whether the code is taken) and
// carries out its reactions to each change; typing goes through the model's filter.

#include <QVariantAnimation>

#include <functional>
#include <string>

#include "app/core/PairingView.h"
#include "app/ui/FramelessWindow.h"
#include "app/ui/PairingCodeField.h"

class QLabel;
class QPushButton;

namespace brindlet::app::ui {

class Spinner;

// How the window looks in one pairing state.
struct PairingLook {
  enum class Action { spinner, cancel, close };
  std::string title;
  std::string message;
  bool mistake = false;   // the message in red
  bool pulse = false;     // the icon pulses while the phone is asked or the code checked
  bool entering = false;  // the code is taken; otherwise the boxes are dimmed
  std::string phoneName;  // for the field's accessible hint
  Action action = Action::close;
  friend bool operator==(const PairingLook&, const PairingLook&) = default;
};

class PairingWindow : public FramelessWindow {
 public:
  static constexpr int kWidth = 420;
  static constexpr int kIconSize = 40;

  // `closed` runs once when the window closes, however it closes (to cancel the attempt).
  PairingWindow(PairingCodeField::Filter filter, PairingCodeField::Submit submit,
                std::function<void()> closed);

  void setLook(const PairingLook& look);
  const PairingLook& look() const { return look_; }
  void react(const PairingReaction& reaction);

  PairingCodeField* codeField() const { return field_; }
  QPushButton* actionButton() const { return button_; }
  QLabel* titleLabel() const { return title_; }
  QLabel* messageLabel() const { return message_; }
  bool iconPulses() const { return pulse_.state() == QAbstractAnimation::Running; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  class Icon;

  PairingLook look_;
  Icon* icon_;
  QLabel* title_;
  QLabel* message_;
  PairingCodeField* field_;
  QPushButton* button_;
  Spinner* spinner_;
  QVariantAnimation pulse_;
  std::function<void()> closed_;
};

}  // namespace brindlet::app::ui
