#include "runtime/ProcessGroup.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <variant>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/this_coro.hpp>

#include "runtime/Blocking.h"
#include "runtime/OneShot.h"
#include "runtime/ProcessTable.h"
#include "runtime/Readable.h"
#include "runtime/Timeout.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
using Descriptor = asio::posix::stream_descriptor;

// How long killed processes get to go: they cannot refuse, so only a process stuck in the
// kernel (a dead network mount) takes longer, and then nothing here can help.
constexpr auto kKilledLimit = std::chrono::seconds(1);

// Whether the process of a pidfd still runs: its pidfd turns readable when it ends.
bool stillRuns(int pidfd) {
  return !isReadable(pidfd);
}

// The members of a group seen so far, each watched through a pidfd on the loop.
class GroupWatch : public std::enable_shared_from_this<GroupWatch> {
 public:
  GroupWatch(asio::any_io_executor executor, pid_t group)
      : executor_(std::move(executor)), group_(group) {}

  // Ended before the group did (its wait was cancelled): what still runs is killed, which is safe
  // while a watched member runs, as its group's id cannot be taken by others meanwhile.
  ~GroupWatch() {
    for (auto& [pid, member] : members_) {
      if (member->is_open() && stillRuns(member->native_handle())) {
        signal(SIGKILL);
        return;
      }
    }
  }

  void signal(int number) const { ::kill(-group_, number); }

  // Reads which members run now and watches those not watched yet; whether any runs.
  asio::awaitable<bool> scan() {
    auto find = [group = group_] { return livingGroupMembers(group); };
    const auto pids = co_await offloadBlocking(std::move(find));
    bool running = false;
    for (const pid_t pid : pids) {
      const auto known = members_.find(pid);
      if (known != members_.end()) {
        // Read from /proc before its end came in, when it is closed.
        running = running || known->second->is_open();
      } else {
        running = watch(pid) || running;
      }
    }
    co_return running;
  }

  // Waits until a watched member ends, at most `limit` on the clock; false when the time ran
  // out first.
  asio::awaitable<bool> memberEnded(Clock& clock, Duration limit) {
    if (std::exchange(endedMeanwhile_, false)) co_return true;
    waker_ = OneShot<std::monostate>::make();
    auto woken = waker_->wait();
    const auto ended = co_await within(clock, limit, std::move(woken));
    waker_.reset();
    endedMeanwhile_ = false;
    co_return ended.has_value();
  }

 private:
  // Starts watching a member the scan found; whether it is to be waited for. One that cannot be
  // watched (out of descriptors) counts as running: it is waited for until the grace is over.
  bool watch(pid_t pid) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return errno != ESRCH;
    // The pid is pinned now: were it another process's since the scan, it left the group.
    if (::getpgid(pid) != group_) {
      ::close(pidfd);
      return false;
    }
    members_[pid] = std::make_unique<Descriptor>(executor_, pidfd);
    await(pid);
    return true;
  }

  // A wake-up is checked (see Readable.h): a member taken for ended while it runs would let the
  // group's end come early. The check waits for the watch to be known alive, as the wait does
  // not keep it, nor its descriptors, alive.
  void await(pid_t pid) {
    std::weak_ptr<GroupWatch> weak = shared_from_this();
    members_.at(pid)->async_wait(Descriptor::wait_read,
                                 [weak, pid](const boost::system::error_code& error) {
                                   auto self = weak.lock();
                                   if (error || !self) return;
                                   if (stillRuns(self->members_.at(pid)->native_handle())) {
                                     return self->await(pid);
                                   }
                                   self->ended(pid);
                                 });
  }

  void ended(pid_t pid) {
    boost::system::error_code ignored;
    members_.at(pid)->close(ignored);
    endedMeanwhile_ = true;
    if (waker_) waker_->resume({});
  }

  asio::any_io_executor executor_;
  pid_t group_;
  std::map<pid_t, std::unique_ptr<Descriptor>> members_;  // closed once ended
  std::shared_ptr<OneShot<std::monostate>> waker_;
  bool endedMeanwhile_ = false;
};

}  // namespace

asio::awaitable<void> endProcessGroup(pid_t group, Duration grace, Clock& clock) {
  auto executor = co_await asio::this_coro::executor;
  auto watch = std::make_shared<GroupWatch>(executor, group);
  if (!co_await watch->scan()) co_return;
  watch->signal(SIGTERM);
  const auto deadline = clock.now() + grace;
  for (auto now = clock.now(); now < deadline; now = clock.now()) {
    if (!co_await watch->memberEnded(clock, deadline - now)) break;
    if (!co_await watch->scan()) co_return;
  }
  watch->signal(SIGKILL);
  // Killed processes take a moment to go; that is the system's time, not the clock's.
  const auto system = Clock::system();
  const auto killedBy = system->now() + kKilledLimit;
  while (co_await watch->scan()) {
    const auto now = system->now();
    if (now >= killedBy) break;
    co_await watch->memberEnded(*system, killedBy - now);
  }
}

}  // namespace brindlet::runtime
