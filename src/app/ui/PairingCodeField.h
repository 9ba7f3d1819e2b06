#pragma once

// Where the user types the six-digit pairing code: an invisible line edit (no text, no caret)
// under six painted boxes. Every change of the text, typed, pasted or deleted, passes through a
// filter given by the owner, which decides what is kept and when the code is complete.

#include <QVariantAnimation>
#include <QWidget>

#include <functional>
#include <string>

class QLineEdit;

namespace brindlet::app::ui {

class PairingCodeField : public QWidget {
 public:
  static constexpr int kBoxes = 6;
  static constexpr int kBoxWidth = 48;
  static constexpr int kBoxHeight = 60;
  static constexpr int kBoxRadius = 12;
  static constexpr int kSpacing = 8;
  static constexpr double kShakeAmplitude = 8;

  struct Filtered {
    std::string code;     // what the field keeps
    bool submit = false;  // whether the code is complete and goes to the phone
  };
  // From the code kept so far and the field's new text to what is kept.
  using Filter = std::function<Filtered(const std::string& old, const std::string& typed)>;
  using Submit = std::function<void(const std::string& code)>;

  // The sideways offset of the boxes `t` of the way (0 to 1) through a shake: two full swings.
  static double shakeOffset(double t);

  PairingCodeField(Filter filter, Submit submit, QWidget* parent = nullptr);

  const std::string& code() const { return code_; }
  // Replaces the code (the filter does not see it); "" empties the boxes.
  void setCode(const std::string& code);
  // Whether typing is taken: off, the boxes are dimmed and keys are ignored.
  void setEntering(bool entering);
  bool entering() const { return entering_; }
  // The phone's name, for the field's accessible hint.
  void setPhoneName(const std::string& name);
  void focusField();
  bool fieldHasFocus() const;
  // The boxes swing left and right twice; nothing moves when the desktop reduces motion.
  void shake();
  bool shaking() const { return shake_.state() == QAbstractAnimation::Running; }
  // The box outlined as the next to fill, or -1.
  int outlinedBox() const;
  double shakeNow() const { return offset_; }

  QSize sizeHint() const override;
  QLineEdit* field() const { return field_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Boxes;
  void textEdited(const QString& text);

  Filter filter_;
  Submit submit_;
  std::string code_;
  bool entering_ = true;
  double offset_ = 0;
  QLineEdit* field_;
  Boxes* boxes_;
  QVariantAnimation shake_;
};

}  // namespace brindlet::app::ui
