#pragma once

// The first-run window: the current step's page over the backdrop, and a bar with Back, the
// page dots and the main button. What each page says and which button does what come from the
// onboarding's tables; this draws them and moves between pages.

#include <QPointer>

#include <functional>
#include <string>

#include "app/ui/FramelessWindow.h"
#include "design/Color.h"
#include "design/Spring.h"

class QPushButton;

namespace brindlet::app::ui {

class GlassButton;
class PageDots;
class PictureBackdrop;
class PictureOnce;

struct OnboardingPage {
  int step = 0;  // 0 to 4: welcome to ready
  std::string symbol;
  design::Rgba tint;
  std::string title;
  std::string message;
  friend bool operator==(const OnboardingPage&, const OnboardingPage&) = default;
};

struct OnboardingBar {
  bool backShown = false;  // on the first step Back is neither seen nor reached
  std::string mainTitle;
  friend bool operator==(const OnboardingBar&, const OnboardingBar&) = default;
};

class OnboardingWindow : public FramelessWindow {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 580;
  static constexpr int kSteps = 5;
  static constexpr int kSlide = 40;
  static constexpr int kBarButtonWidth = 190;

  struct Actions {
    std::function<void()> back;
    std::function<void()> main;
    std::function<void()> shown;   // the window came on screen (the poll starts)
    std::function<void()> hidden;  // it left the screen (the poll stops)
  };

  explicit OnboardingWindow(Actions actions);
  OnboardingWindow(Actions actions, PictureOnce& picture);

  // Shows `page` with its `content` (the window owns it from now on). A new step slides in
  // from the side it comes from while the old page leaves to the other; the same step only
  // takes the new content.
  void showPage(const OnboardingPage& page, QWidget* content, bool forward);
  void setBar(const OnboardingBar& bar);

  QPushButton* backButton() const { return back_; }
  GlassButton* mainButton() const { return main_; }
  PageDots* dots() const { return dots_; }
  QWidget* currentPage() const;
  // Pages still on screen, the leaving ones too.
  int pagesShown() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  class Page;
  void layOutPages();

  Actions actions_;
  PictureBackdrop* backdrop_;
  QWidget* pageArea_;
  QPushButton* back_;
  PageDots* dots_;
  GlassButton* main_;
  std::optional<OnboardingPage> shownPage_;
  QPointer<Page> current_;
  QPointer<Page> leaving_;
  design::Motion slide_;
  bool forward_ = true;
  int frames_ = 0;
};

}  // namespace brindlet::app::ui
