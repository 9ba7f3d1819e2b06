#include "platform/linux/x11/XSettings.h"

#include <gtest/gtest.h>

#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/XServer.h"

// Last: its macros clash with the names above.
#include <X11/Xlib.h>

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;

// The bytes a settings manager publishes: a string, a colour and then the integers given.
std::vector<unsigned char> settingsBytes(bool mostFirst,
                                         std::vector<std::pair<std::string, std::int32_t>> ints) {
  std::vector<unsigned char> out;
  auto number = [&](std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (mostFirst ? width - 1 - i : i);
      out.push_back(static_cast<unsigned char>(v >> shift));
    }
  };
  auto text = [&](const std::string& t) {
    out.insert(out.end(), t.begin(), t.end());
    while (out.size() % 4) out.push_back(0);
  };
  auto header = [&](std::uint8_t type, const std::string& name) {
    number(type, 1);
    number(0, 1);
    number(static_cast<std::uint32_t>(name.size()), 2);
    text(name);
    number(7, 4);  // last-change serial
  };
  number(mostFirst ? 1 : 0, 1);
  number(0, 3);
  number(42, 4);
  number(static_cast<std::uint32_t>(ints.size() + 2), 4);
  header(1, "Net/ThemeName");
  number(5, 4);
  text("Adwa!");
  header(2, "Gtk/Color");
  for (std::uint32_t channel : {0xFFFFu, 0u, 0u, 0xFFFFu}) number(channel, 2);
  for (const auto& [name, value] : ints) {
    header(0, name);
    number(static_cast<std::uint32_t>(value), 4);
  }
  return out;
}

TEST(XSettings, IntegersAreFoundInEitherByteOrderAndBrokenBytesGiveNothing) {
  const auto lsb = settingsBytes(false, {{"Net/DoubleClickTime", 250}, {"Xft/DPI", -1}});
  const auto msb = settingsBytes(true, {{"Xft/DPI", 98304}, {"Net/DoubleClickTime", 600}});
  auto truncated = lsb;
  truncated.resize(truncated.size() - 10);
  auto unknownType = lsb;
  unknownType[12] = 9;  // the first setting's type
  const struct {
    std::vector<unsigned char> bytes;
    std::string name;
    std::optional<std::int32_t> value;
  } cases[] = {
      {lsb, "Net/DoubleClickTime", 250},      {lsb, "Xft/DPI", -1},
      {msb, "Net/DoubleClickTime", 600},      {msb, "Net/ThemeName", std::nullopt},
      {msb, "Gtk/Color", std::nullopt},       {truncated, "Xft/DPI", std::nullopt},
      {unknownType, "Xft/DPI", std::nullopt}, {{}, "Xft/DPI", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(xsettingsInteger(c.bytes, c.name), c.value) << c.name;
}

// The test itself is the settings manager: a window that owns the screen's settings selection.
TEST(XSettingsOnXvfb, TheIntervalFollowsTheManagerAndFallsBackWithoutOne) {
  testsupport::XServer server;
  runtime::MainLoop loop;
  Display* d = XOpenDisplay(server.display().c_str());
  ASSERT_NE(d, nullptr);
  const Window manager = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  const Atom property = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
  auto publish = [&](std::int32_t milliseconds) {
    const auto bytes = settingsBytes(false, {{"Net/DoubleClickTime", milliseconds}});
    XChangeProperty(d, manager, property, property, 8, PropModeReplace, bytes.data(),
                    static_cast<int>(bytes.size()));
    XSync(d, False);
  };

  auto interval = brindlet::testing::runUntilDone(loop.context(),
                                                  X11DoubleClickInterval::open(server.display()));
  EXPECT_EQ((*interval)(), 400ms);

  publish(250);
  XSetSelectionOwner(d, XInternAtom(d, "_XSETTINGS_S0", False), manager, CurrentTime);
  XSync(d, False);
  // Each call gives what was read last and reads again.
  EXPECT_TRUE(testing::runUntil(loop.context(), [&] { return (*interval)() == 250ms; }));
  publish(600);
  EXPECT_TRUE(testing::runUntil(loop.context(), [&] { return (*interval)() == 600ms; }));

  XDestroyWindow(d, manager);
  XSync(d, False);
  EXPECT_EQ(brindlet::testing::runUntilDone(loop.context(), interval->refreshed()), 400ms);
  XCloseDisplay(d);
}

}  // namespace
}  // namespace brindlet::platform
