#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Defaults.h"
#include "runtime/FileDefaults.h"
#include "runtime/MemoryDefaults.h"
#include "runtime/Observable.h"
#include "runtime/Subscription.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

// One source of subscriptions: what it tells its subscribers and how it goes away.
struct Source {
  virtual ~Source() = default;
  virtual Subscription subscribe(std::function<void()> heard) = 0;
  virtual void change() = 0;
};

struct ObservableSource : Source {
  Observable<int> value{0};
  Subscription subscribe(std::function<void()> heard) override {
    return value.subscribe([heard = std::move(heard)](int) { heard(); });
  }
  void change() override { value.set(value.get() + 1); }
};

struct DefaultsSource : Source {
  explicit DefaultsSource(std::unique_ptr<Defaults> made) : defaults(std::move(made)) {}
  std::unique_ptr<Defaults> defaults;
  std::int64_t next = 0;
  Subscription subscribe(std::function<void()> heard) override {
    return defaults->observe("dockEdge", std::move(heard));
  }
  void change() override { defaults->setInteger("dockEdge", ++next); }
};

// A file of its own for each source, so that no case starts from what another stored.
struct FileDefaultsSource : DefaultsSource {
  FileDefaultsSource(testsupport::TempDir& dir, boost::asio::io_context& loop, int n)
      : DefaultsSource(std::make_unique<FileDefaults>(
            loop, dir.file("defaults-" + std::to_string(n) + ".json"))) {}
};

TEST(Subscription, EndsWhenDestroyedResetOrReplacedAndOutlivesItsSource) {
  testsupport::TempDir dir;
  boost::asio::io_context loop;
  using Maker = std::function<std::unique_ptr<Source>()>;
  const std::pair<const char*, Maker> sources[] = {
      {"observable", [] { return std::make_unique<ObservableSource>(); }},
      {"memory defaults",
       [] { return std::make_unique<DefaultsSource>(std::make_unique<MemoryDefaults>()); }},
      {"file defaults",
       [&, n = 0]() mutable { return std::make_unique<FileDefaultsSource>(dir, loop, ++n); }},
  };
  struct Case {
    const char* name;
    // Subscribes as "a" (and maybe "b"), ends what the case ends, then the source changes once.
    std::function<void(std::unique_ptr<Source>&, std::vector<std::string>&)> run;
    std::vector<std::string> heard;
  };
  const auto hear = [](std::vector<std::string>& heard, const char* name) {
    return [&heard, name] { heard.push_back(name); };
  };
  const Case cases[] = {
      {"kept",
       [&](auto& source, auto& heard) {
         auto a = source->subscribe(hear(heard, "a"));
         source->change();
       },
       {"a"}},
      {"destroyed",
       [&](auto& source, auto& heard) {
         { auto a = source->subscribe(hear(heard, "a")); }
         source->change();
       },
       {}},
      {"reset",
       [&](auto& source, auto& heard) {
         auto a = source->subscribe(hear(heard, "a"));
         a.reset();
         a.reset();
         source->change();
       },
       {}},
      {"move-assigned another",
       [&](auto& source, auto& heard) {
         auto a = source->subscribe(hear(heard, "a"));
         a = source->subscribe(hear(heard, "b"));
         source->change();
       },
       {"b"}},
      {"moved on, then the empty one ends",
       [&](auto& source, auto& heard) {
         auto a = source->subscribe(hear(heard, "a"));
         Subscription b(std::move(a));
         a.reset();
         Subscription c;
         c = std::move(b);
         b = Subscription();
         source->change();
       },
       {"a"}},
      {"source gone first",
       [&](auto& source, auto& heard) {
         auto a = source->subscribe(hear(heard, "a"));
         source.reset();
         a.reset();
       },
       {}},
  };
  for (const auto& [sourceName, make] : sources) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(sourceName) + ": " + c.name);
      auto source = make();
      std::vector<std::string> heard;
      c.run(source, heard);
      EXPECT_EQ(heard, c.heard);
    }
  }
}

}  // namespace
}  // namespace brindlet::runtime
