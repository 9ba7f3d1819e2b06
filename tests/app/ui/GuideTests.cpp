#include <gtest/gtest.h>

#include <QMimeData>
#include <QPointer>
#include <QUrl>

#include <filesystem>
#include <memory>

#include "app/ui/GuidePanel.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsUntil;

GuidePanel* newPanel() {
  return new GuidePanel({"Turn on Brindlet", "In Accessibility, switch on Brindlet."});
}

TEST(GuidePanel, NeverTakesFocusAndShowsOnlyOnceItHasAPlace) {
  std::unique_ptr<GuidePanel> panel(newPanel());
  const auto flags = panel->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::Tool));
  EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
  EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(panel->size(), QSize(400, 96));

  panel->place(std::nullopt);
  EXPECT_FALSE(panel->isVisible());
  struct Step {
    std::optional<QPoint> origin;
  };
  for (const Step& step : {Step{QPoint(300, 812)}, Step{QPoint(320, 700)}, Step{std::nullopt},
                           Step{QPoint(100, 100)}}) {
    panel->place(step.origin);
    EXPECT_EQ(panel->isVisible(), step.origin.has_value());
    EXPECT_EQ(panel->pos(), step.origin.value_or(panel->pos()));
  }
}

TEST(GuidePanel, FadesInWhenFirstPlacedAndOutOnDismissThenGoes) {
  QPointer<GuidePanel> panel = newPanel();
  panel->place(QPoint(10, 10));
  EXPECT_LT(panel->windowOpacity(), 0.5);
  ASSERT_TRUE(processEventsUntil([&] { return panel->windowOpacity() == 1.0; }));
  panel->dismiss();
  panel->place(QPoint(20, 20));  // a dismissed panel stays where it was
  EXPECT_EQ(panel->pos(), QPoint(10, 10));
  ASSERT_TRUE(processEventsUntil([&] { return panel.isNull(); }, std::chrono::seconds(2)));
}

TEST(GuidePanel, ItsIconCarriesTheRunningProgram) {
  std::unique_ptr<QMimeData> data(GuidePanel::appFileData());
  ASSERT_EQ(data->urls().size(), 1);
  EXPECT_EQ(data->urls().front().toLocalFile().toStdString(),
            std::filesystem::canonical("/proc/self/exe").string());
}

}  // namespace
}  // namespace brindlet::app::ui
