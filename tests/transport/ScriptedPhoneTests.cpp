// The scripted phone program, driven over its standard input, with a scripted computer on
// loopback: its printed events, its commands, and pairing keys kept in its store folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "PhoneHarness.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::transport::testing {
namespace {

constexpr auto kWait = std::chrono::milliseconds(10000);

struct RunningPhone {
  testsupport::ChildProcess process;
  std::uint16_t plainPort = 0;
  std::uint16_t securePort = 0;

  explicit RunningPhone(const std::string& store)
      : process({SCRIPTED_PHONE, "--name", "Phone", "--uid", kPhoneUid, "--port", "0", "--usb",
                 "--store", store}) {
    EXPECT_TRUE(process.waitFor("listening ", kWait));
    EXPECT_TRUE(process.waitFor("\n", kWait)) << process.output();
    std::istringstream line(process.output().substr(process.output().find("listening ")));
    std::string word;
    line >> word >> plainPort >> securePort;
  }
};

TEST(ScriptedPhone, PrintsEventsRunsCommandsAndKeepsKeysInItsStore) {
  testsupport::TempDir store;
  std::optional<runtime::Bytes> issued;
  {
    RunningPhone running(store.path());
    PhoneHarness computer;
    computer.plainPort = running.plainPort;
    computer.securePort = running.securePort;
    auto mac = computer.dial("Mac A", kMacA, std::nullopt);
    // Standard error (the log) shares the output: each printed line is looked for alone.
    ASSERT_TRUE(running.process.waitFor("\nconnected(Mac A, USB)\n", kWait))
        << running.process.output();
    ASSERT_TRUE(computer.waitUntil([&] { return mac->psk.has_value(); }));
    issued = mac->psk;

    running.process.write("pane 390 844 3\ntouch began 0.25 0.5\nbogus\n");
    for (const char* line : {"\nok pane\n", "\nok touch\n", "\nerror unknown command bogus\n"}) {
      ASSERT_TRUE(running.process.waitFor(line, kWait)) << running.process.output();
    }
    ASSERT_TRUE(computer.waitUntil([&] { return mac->seen.size() >= 4; }));
    EXPECT_EQ(mac->seen, (std::vector<std::string>{"hello(Phone)", "pairOK", "pane", "touch"}));

    protocol::ControlMessage ping(protocol::Ping{2.5});
    computer.run(mac->link->send(ping));
    ASSERT_TRUE(running.process.waitFor("received {", kWait));
    EXPECT_NE(running.process.output().find("\"t\":\"ping\""), std::string::npos);

    running.process.write("quit\n");
    ASSERT_TRUE(computer.waitUntil([&] { return mac->ended; }));
    EXPECT_EQ(mac->seen.at(4), "bye(backgrounded)");
    EXPECT_EQ(running.process.waitExit(kWait), 0);
  }
  // One key file, private to the user.
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(store.path())) files.push_back(f.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(std::filesystem::status(files[0]).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // A new run takes the stored key over TLS.
  RunningPhone again(store.path());
  PhoneHarness computer;
  computer.securePort = again.securePort;
  auto mac = computer.dial("Mac A", kMacA, SecureChannel::Key{kMacA, SymmetricKey(*issued)});
  ASSERT_TRUE(again.process.waitFor("connected(Mac A, Wi-Fi)\n", kWait)) << again.process.output();
  ASSERT_TRUE(computer.waitUntil([&] { return mac->psk.has_value(); }));
  EXPECT_EQ(mac->psk, issued);
}

}  // namespace
}  // namespace brindlet::transport::testing
