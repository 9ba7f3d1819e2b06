#include <gtest/gtest.h>

#include "runtime/Log.h"
#include "runtime/Observable.h"

namespace brindlet::runtime {
namespace {

TEST(Log, CaptureSeesFormattedEntriesOfItsLifetimeOnly) {
  Logger log("transport");
  log.info("before");
  std::vector<LogEntry> captured;
  {
    LogCapture capture;
    log.error("Listener on %hu: %s", static_cast<unsigned short>(9000), "Address in use");
    log.debug("Send failed: %s", "closed");
    captured = capture.sink().entries();
    EXPECT_EQ(capture.messages("transport", LogLevel::error),
              std::vector<std::string>{"Listener on 9000: Address in use"});
    EXPECT_TRUE(capture.messages("other", LogLevel::error).empty());
  }
  log.error("after");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[1],
            (LogEntry{"com.velvane.mac", "transport", LogLevel::debug, "Send failed: closed"}));
}

TEST(Observable, NotifiesOnlyOnChangeAndUntilUnsubscribed) {
  Observable<std::string> value("a");
  std::vector<std::string> first, second;
  auto s1 = value.subscribe([&](const std::string& v) { first.push_back(v); });
  auto s2 = value.subscribe([&](const std::string& v) { second.push_back(v); });
  EXPECT_FALSE(value.set("a"));
  EXPECT_TRUE(value.set("b"));
  s2.reset();
  value.set("b");
  value.set("c");
  EXPECT_EQ(first, (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(second, (std::vector<std::string>{"b"}));
  EXPECT_EQ(value.get(), "c");
}

}  // namespace
}  // namespace brindlet::runtime
