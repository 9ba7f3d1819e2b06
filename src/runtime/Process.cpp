#include "runtime/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <variant>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "runtime/Blocking.h"
#include "runtime/ExitCleanup.h"
#include "runtime/FileDescriptor.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"
#include "runtime/ProcessGroup.h"
#include "runtime/Readable.h"

extern char** environ;

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
using Descriptor = asio::posix::stream_descriptor;

std::string errorText(int error) {
  return std::strerror(error);
}

// Our ends and the child's ends stay above 0-2, so that setting up the child's 0-2 never
// overwrites a descriptor that a later step still reads.
FileDescriptor aboveStandard(int fd) {
  if (fd < 0 || fd > 2) return FileDescriptor(fd);
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return FileDescriptor(moved);
}

std::pair<FileDescriptor, FileDescriptor> makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw ProcessError::cannotStart("pipe", errorText(errno));
  return {aboveStandard(ends[0]), aboveStandard(ends[1])};
}

// The child's standard descriptors (and `third` as its descriptor 3, when given) and nothing
// else: closefrom after the dup2s also closes what others opened without close-on-exec (Asio's
// sockets, libraries' descriptors). A child in a session of its own (`ownSession`) also leads a
// group of its own.
class SpawnSetup {
 public:
  SpawnSetup(int input, int output, bool captureErrors, bool ownSession = false, int third = -1) {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO);
    if (captureErrors) ::posix_spawn_file_actions_adddup2(&actions_, output, STDERR_FILENO);
    if (third >= 0) ::posix_spawn_file_actions_adddup2(&actions_, third, 3);
    ::posix_spawn_file_actions_addclosefrom_np(&actions_, third >= 0 ? 4 : 3);
    ::posix_spawnattr_init(&attributes_);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    ::posix_spawnattr_setpgroup(&attributes_, 0);
    const short grouping = ownSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
    ::posix_spawnattr_setflags(&attributes_,
                               grouping | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }

  pid_t spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int error = ::posix_spawnp(&pid, args[0], &actions_, &attributes_, args.data(), environ);
    if (error == ENOENT || error == ENOTDIR) throw ProcessError::programNotFound(argv[0]);
    if (error != 0) throw ProcessError::cannotStart(argv[0], errorText(error));
    return pid;
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Kills a child that still runs and reaps it on the blocking worker: a killed child takes a
// moment to go, which the caller's loop must not spend waiting.
void killAndReap(pid_t child) {
  ::kill(-child, SIGKILL);
  boost::asio::post(blockingWorker().executor(), [child] {
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED);
  });
}

// A child just started, with our ends of its pipes and its pidfd, before a loop watches it. A
// child dropped here is killed, so that none runs without an owner.
struct Spawned {
  pid_t pid = -1;
  FileDescriptor pidfd, output, input;

  Spawned() = default;
  Spawned(Spawned&& other) noexcept
      : pid(std::exchange(other.pid, -1)),
        pidfd(std::move(other.pidfd)),
        output(std::move(other.output)),
        input(std::move(other.input)) {}
  Spawned& operator=(Spawned&&) = delete;
  ~Spawned() {
    if (pid > 0) killAndReap(pid);
  }
};

// Starts the program: exec can wait on the disk, so this runs on the blocking worker unless the
// caller is no loop.
Spawned spawnChild(const Process::Options& options) {
  mayBlock("starting a program");
  if (options.argv.empty()) throw ProcessError::programNotFound("");
  auto [outputRead, outputWrite] = makePipe();
  FileDescriptor inputRead, inputWrite;
  if (options.input == Process::Input::pipe) {
    std::tie(inputRead, inputWrite) = makePipe();
    // A child that stops reading makes our writes fail instead of ending this process.
    ::signal(SIGPIPE, SIG_IGN);
  } else {
    inputRead = aboveStandard(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  SpawnSetup setup(inputRead.get(), outputWrite.get(), options.captureErrors);
  Spawned child;
  child.pid = setup.spawn(options.argv);
  child.pidfd = FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
  if (child.pidfd.get() < 0) throw ProcessError::cannotStart(options.argv[0], errorText(errno));
  child.output = std::move(outputRead);
  child.input = std::move(inputWrite);
  return child;
}

// The groups of children that ended while what they started still holds their output. Once the
// shell is gone its background programs have another parent, so no walk down from this process
// finds them: quitting, and an exit that cannot wait, end them by the exit clean-up's list. A
// group that list refuses (it is full) is kept here, and only the quit ends it.
class LeftBehind {
 public:
  void add(pid_t group) {
    if (endGroupOnExit(group)) return;
    std::lock_guard lock(mutex_);
    // Said once while refused groups remain, not for each of them.
    if (refused_.empty()) {
      Logger::of("runtime").info(
          "The exit's list of groups to end is full: group %d, and any after it while the list "
          "stays full, will be ended at the quit only, not at a crash",
          static_cast<int>(group));
    }
    refused_.insert(group);
  }

  void remove(pid_t group) {
    keepGroupOnExit(group);
    std::lock_guard lock(mutex_);
    refused_.erase(group);
  }

  std::vector<pid_t> all() {
    auto groups = groupsEndedOnExit();
    std::lock_guard lock(mutex_);
    groups.insert(groups.end(), refused_.begin(), refused_.end());
    return groups;
  }

 private:
  std::mutex mutex_;
  std::set<pid_t> refused_;
};

// Never destroyed: an exit that cannot wait may ask for the groups after static destructors ran.
LeftBehind& leftBehind() {
  static auto* const groups = new LeftBehind;
  return *groups;
}

void markLeftBehind(pid_t group, bool left) {
  if (left) {
    leftBehind().add(group);
  } else {
    leftBehind().remove(group);
  }
}

ExitStatus statusOf(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return {info.si_status, 0};
  return {0, info.si_status};
}

// How long the drain rests after a pass: a program that writes without pause then waits on its
// full pipe most of the time instead of costing a core to follow, and one that writes now and then
// never waits at all.
constexpr auto kDiscardRest = std::chrono::milliseconds(20);
// While the program itself still runs, its run waits for it and its time-out counts: the drain
// keeps pace, in a pipe of kPacedPipe, and rests this little after a pass that found the pipe half
// full or more. That is some 170 MB/s, so a program that writes a lot and then ends is barely held
// up; one that writes without pause up to its time-out costs a few hundredths of a core, as the
// cost is the kernel's freeing of each page the drain drops.
constexpr auto kPacedRest = std::chrono::milliseconds(6);
constexpr int kPacedPipe = 1 << 20;
// Once the result is in, what is left behind is nobody's wait: the pipe goes back to what a pipe
// holds by default, and a pass takes at most that, so that a program left writing without pause
// costs next to nothing, in kernel memory (the user's pipe pages) as in time.
constexpr std::size_t kLeftBehindPass = std::size_t(64) << 10;
// What the drain takes before it starts to rest: a program that has a few MiB more to write, and
// then ends, is not held up by the rests at all.
constexpr std::size_t kDiscardUnrested = std::size_t(16) << 20;

// Discards what a program writes past its limit, or what it left behind, off the loop, on the
// blocking worker: whenever the pipe holds something, one splice hands it to /dev/null (the kernel
// drops the pages, nothing is copied), then the drain rests (once it has taken its first few MiB),
// briefly while it keeps pace with a running program. Once no writer holds the pipe, the drain
// closes `ended` (the write end of a pipe that the owner's loop waits on): a loop hears of it
// without the worker ever touching the loop, which may be gone by then.
class Discard : public std::enable_shared_from_this<Discard> {
 public:
  // `paced`: the program still runs (see kPacedRest) until settle().
  static std::shared_ptr<Discard> start(FileDescriptor pipe, FileDescriptor ended, bool paced) {
    auto executor = blockingWorker().executor();
    std::shared_ptr<Discard> discard(new Discard(executor, std::move(ended), paced));
    discard->pipe_.assign(pipe.release());
    asio::post(executor, [discard] {
      discard->null_ = FileDescriptor(::open("/dev/null", O_WRONLY | O_CLOEXEC));
      if (discard->paced_) discard->widen();
      discard->await();
    });
    return discard;
  }

  // The program has ended: from now on the drain takes what is left behind.
  void settle() {
    asio::post(pipe_.get_executor(), [self = shared_from_this()] {
      self->paced_ = false;
      self->narrow();
    });
  }

  // Ends the drain (what holds the pipe then gets a broken pipe at its next write).
  void stop() {
    asio::post(pipe_.get_executor(), [self = shared_from_this()] { self->end(); });
  }

 private:
  Discard(const asio::any_io_executor& executor, FileDescriptor ended, bool paced)
      : pipe_(executor), rest_(executor), ended_(std::move(ended)), paced_(paced) {}

  // Asks for the pipe's size and keeps the size it has: a refused one leaves it as it was.
  void resize(int size) {
    const int fd = pipe_.native_handle();
    ::fcntl(fd, F_SETPIPE_SZ, size);
    const int now = ::fcntl(fd, F_GETPIPE_SZ);
    if (now > 0) capacity_ = static_cast<std::size_t>(now);
  }

  // A user's pipes past the system's allowance are refused a larger size; the pipe then keeps
  // its own, and the drain's pace is what that size allows.
  void widen() { resize(kPacedPipe); }

  // Back to a default pipe's size once the program has ended. The kernel refuses that while the
  // pipe holds more: it is tried again after each pass, which takes all the pipe holds until then.
  void narrow() {
    if (!paced_ && capacity_ > kLeftBehindPass) resize(static_cast<int>(kLeftBehindPass));
  }

  void await() {
    pipe_.async_wait(Descriptor::wait_read,
                     [self = shared_from_this()](const boost::system::error_code& error) {
                       if (!error) self->pass();
                     });
  }

  void pass() {
    if (!pipe_.is_open()) return;  // stopped meanwhile
    const int from = pipe_.native_handle();
    const std::size_t most = capacity_;
    auto moved =
        ::splice(from, nullptr, null_.get(), nullptr, most, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (moved < 0 && errno != EAGAIN && errno != EINTR) {
      static std::array<char, 65536> dropped;  // never read: a place for bytes to go
      moved = ::read(from, dropped.data(), std::min(most, dropped.size()));
    }
    if (moved == 0) return end();
    const bool empty = moved < 0 && (errno == EAGAIN || errno == EINTR);
    narrow();
    // Empty: the next write wakes the drain.
    if (empty) return await();
    if (moved > 0 && unrested_ > 0) {
      unrested_ -= std::min(unrested_, std::size_t(moved));
      return await();
    }
    // After the rest the pipe most likely holds something: the next pass takes it at once, without
    // a round through the loop's readiness.
    const bool keepingPace = paced_ && moved >= static_cast<ssize_t>(capacity_ / 2);
    rest_.expires_after(keepingPace ? kPacedRest : kDiscardRest);
    rest_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
      if (!error) self->pass();
    });
  }

  void end() {
    boost::system::error_code ignored;
    pipe_.close(ignored);
    rest_.cancel();
    ended_.reset();
  }

  Descriptor pipe_;
  asio::steady_timer rest_;
  FileDescriptor null_;
  FileDescriptor ended_;
  bool paced_;
  std::size_t capacity_ = kLeftBehindPass;  // the pipe's size, what a pass takes at most
  std::size_t unrested_ = kDiscardUnrested;
};

// The waiter of a handed-off program: a job of a shell that leaves as soon as it has started it,
// so that the waiter's parent is no process of ours. It runs the program with the signals that a
// shell's background job ignores back at their defaults, then tells descriptor 3 how it ended.
constexpr const char* kHandOffWaiter = "(env --default-signal=INT,QUIT \"$@\" 3>&-; echo $? >&3) &";

// Starts the waiter and reaps its shell, which leaves at once; our end of the waiter's report.
FileDescriptor startHandedOff(const std::vector<std::string>& argv) {
  mayBlock("starting a program");
  if (argv.empty()) throw ProcessError::programNotFound("");
  auto [reportRead, reportWrite] = makePipe();
  auto null = aboveStandard(::open("/dev/null", O_RDWR | O_CLOEXEC));
  SpawnSetup setup(null.get(), null.get(), true, true, reportWrite.get());
  std::vector<std::string> line{"/bin/sh", "-c", kHandOffWaiter, "sh"};
  line.insert(line.end(), argv.begin(), argv.end());
  const pid_t shell = setup.spawn(line);
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(shell), &info, WEXITED) != 0 && errno == EINTR) {
  }
  if (!statusOf(info).succeeded()) throw ProcessError::cannotStart(argv[0], "no waiter");
  return std::move(reportRead);
}

// What the waiter wrote: the shell's word for how the program ended.
ExitStatus reportedStatus(const std::string& report) {
  int code = -1;
  if (std::sscanf(report.c_str(), "%d", &code) != 1) return {-1, 0};
  if (code > 128) return {0, code - 128};
  return {code, 0};
}

}  // namespace

std::vector<pid_t> groupsLeftBehind() {
  return leftBehind().all();
}

asio::awaitable<ExitStatus> handOff(std::vector<std::string> argv) {
  auto executor = co_await asio::this_coro::executor;
  const std::string program = argv.empty() ? std::string() : argv.front();
  auto start = [argv = std::move(argv)] { return startHandedOff(argv); };
  FileDescriptor reportEnd = co_await offloadBlocking(std::move(start));
  Descriptor report(executor, reportEnd.release());
  std::string text;
  std::array<char, 32> buffer{};
  for (;;) {
    boost::system::error_code error;
    auto token = asio::redirect_error(asio::use_awaitable, error);
    auto reading = report.async_read_some(asio::buffer(buffer), token);
    const auto n = co_await std::move(reading);
    text.append(buffer.data(), n);
    if (error == asio::error::eof) break;
    if (error) throw boost::system::system_error(error);
  }
  const auto status = reportedStatus(text);
  // The shell's word for a command it could not find.
  if (status == ExitStatus{127, 0}) throw ProcessError::programNotFound(program);
  co_return status;
}

ProcessError ProcessError::programNotFound(std::string program) {
  return {Case::programNotFound, ErrorText("programNotFound").text("", program)};
}
ProcessError ProcessError::cannotStart(std::string program, std::string reason) {
  return {Case::cannotStart,
          ErrorText("cannotStart").text("program", program).text("reason", reason)};
}
ProcessError ProcessError::inputClosed() {
  return {Case::inputClosed, "inputClosed"};
}

struct Process::State : std::enable_shared_from_this<State> {
  State(const asio::any_io_executor& executor, std::shared_ptr<Clock> clock, std::size_t limit)
      : clock(std::move(clock)),
        exit(executor),
        output(executor),
        input(executor),
        discarded(executor),
        limit(limit) {}

  void watch() {
    awaitEnd();
    read();
  }

  void awaitEnd() {
    exit.async_wait(Descriptor::wait_read,
                    [self = shared_from_this()](const boost::system::error_code& error) {
                      if (!error) self->reap();
                    });
  }

  void read() {
    output.async_read_some(
        asio::buffer(buffer),
        [self = shared_from_this()](boost::system::error_code error, std::size_t n) {
          self->keep(n);
          if (error && error != asio::error::operation_aborted) return self->outputEnded();
          if (!self->output.is_open()) return;
          if (self->childEnded && !self->status) return self->readWhatIsLeft();
          if (self->truncated) return self->discardTheRest();
          self->read();
        });
  }

  // Output that comes after the result, or past the limit, is dropped.
  void keep(std::size_t n) {
    if (status) return;
    std::size_t room = limit - std::min(limit, text.size());
    text.append(buffer.data(), std::min(n, room));
    truncated = truncated || n > room;
  }

  // After the child's end: what is in the pipe now makes the result. Something the child
  // started may go on writing; the rest is discarded off the loop, so that it neither dies of a
  // broken pipe nor costs the loop anything.
  void readWhatIsLeft() {
    int left = 0;
    boost::system::error_code error;
    if (::ioctl(output.native_handle(), FIONREAD, &left) != 0) left = 0;
    output.non_blocking(true, error);
    while (!error && left > 0) {
      auto size = std::min(buffer.size(), static_cast<std::size_t>(left));
      auto n = output.read_some(asio::buffer(buffer.data(), size), error);
      keep(n);
      left -= static_cast<int>(n);
    }
    finish();
    if (error == asio::error::eof) return outputEnded();
    discardTheRest();
  }

  // Also while the child runs, once its output is past the limit: nothing more of it is kept,
  // so a program that writes without pause costs the loop nothing until it ends.
  void discardTheRest() {
    FileDescriptor pipe(output.release());
    auto [endedRead, endedWrite] = makePipe();
    discarded.assign(endedRead.release());
    awaitDiscarded();
    discard = Discard::start(std::move(pipe), std::move(endedWrite), !childEnded);
  }

  // The output's own descriptor, released just before with its readiness perhaps still queued,
  // can leave a false wake-up for this wait: only the system's word counts.
  void awaitDiscarded() {
    awaitReadable(discarded, [self = shared_from_this()](const boost::system::error_code& error) {
      if (!error) self->outputEnded();
    });
  }

  void reap() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) == 0) {
      if (info.si_pid == 0) return awaitEnd();  // not ended after all
      ended = statusOf(info);
    } else {
      ended = ExitStatus{-1, 0};  // reaped by someone else (SIGCHLD ignored): how is unknown
    }
    childEnded = true;
    boost::system::error_code ignored;
    exit.close(ignored);
    // With its output read in full, or discarded past the limit, its result is in.
    if (discard) discard->settle();
    if (readerDone || discard) return finish();
    output.cancel(ignored);
  }

  void outputEnded() {
    if (status) markLeftBehind(pid, false);
    readerDone = true;
    boost::system::error_code ignored;
    output.close(ignored);
    if (childEnded && !status) finish();
    for (auto& waiter : releaseWaiters) waiter->resume({});
    releaseWaiters.clear();
  }

  void finish() {
    if (!readerDone) markLeftBehind(pid, true);
    status = ended;
    for (auto& waiter : waiters) waiter->resume(*status);
    waiters.clear();
  }

  asio::awaitable<void> released() {
    auto self = shared_from_this();
    if (readerDone) co_return;
    auto waiter = OneShot<std::monostate>::make();
    releaseWaiters.push_back(waiter);
    co_await waiter->wait();
  }

  asio::awaitable<ExitStatus> wait() {
    auto self = shared_from_this();
    if (status) co_return *status;
    auto waiter = OneShot<ExitStatus>::make();
    waiters.push_back(waiter);
    co_return co_await waiter->wait();
  }

  // Ends the child now, when it still runs, so that nothing waits for it any more; and what it
  // started that still holds its output, with its group.
  void kill() {
    if (childEnded) {
      if (!readerDone) ::kill(-pid, SIGKILL);
      return;
    }
    killAndReap(pid);
    ended = ExitStatus{-1, SIGKILL};
    childEnded = true;
  }

  // Watches a started child on the loop: its end, and its output until then.
  static Process adopt(const asio::any_io_executor& executor, Spawned child,
                       std::size_t outputLimit, std::shared_ptr<Clock> clock);

  std::shared_ptr<Clock> clock;
  pid_t pid = -1;
  Descriptor exit;  // the child's pidfd: readable once it has ended
  Descriptor output;
  Descriptor input;
  Descriptor discarded;  // readable once the discard has seen the output's end
  std::size_t limit;
  std::shared_ptr<Discard> discard;  // what is left behind, once the result is in
  std::array<char, 65536> buffer{};
  std::string text;
  bool truncated = false;
  bool childEnded = false;
  bool readerDone = false;
  ExitStatus ended;
  std::optional<ExitStatus> status;
  std::vector<std::shared_ptr<OneShot<ExitStatus>>> waiters;
  std::vector<std::shared_ptr<OneShot<std::monostate>>> releaseWaiters;
};

Process Process::State::adopt(const asio::any_io_executor& executor, Spawned child,
                              std::size_t outputLimit, std::shared_ptr<Clock> clock) {
  auto state = std::make_shared<State>(executor, std::move(clock), outputLimit);
  state->pid = std::exchange(child.pid, -1);
  state->exit.assign(child.pidfd.release());
  state->output.assign(child.output.release());
  if (child.input.get() >= 0) state->input.assign(child.input.release());
  state->watch();
  return Process(std::move(state));
}

Process Process::start(const asio::any_io_executor& executor, Options options,
                       std::shared_ptr<Clock> clock) {
  return State::adopt(executor, spawnChild(options), options.outputLimit, std::move(clock));
}

asio::awaitable<Process> Process::launch(asio::any_io_executor executor, Options options,
                                         std::shared_ptr<Clock> clock) {
  const auto outputLimit = options.outputLimit;
  auto spawn = [options = std::move(options)] { return spawnChild(options); };
  Spawned child = co_await offloadBlocking(std::move(spawn));
  co_return State::adopt(executor, std::move(child), outputLimit, std::move(clock));
}

Process::Process(std::shared_ptr<State> state) : state_(std::move(state)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;

Process::~Process() {
  if (!state_) return;
  state_->kill();
  // Its group, killed just now, is no longer ours to end: its id may soon be another's.
  if (state_->status && !state_->readerDone) markLeftBehind(state_->pid, false);
  if (state_->discard) state_->discard->stop();
  // The pending waits hold the state; closing ends them so that it goes.
  boost::system::error_code ignored;
  state_->exit.close(ignored);
  state_->output.close(ignored);
  state_->input.close(ignored);
  state_->discarded.close(ignored);
}

pid_t Process::pid() const {
  return state_->pid;
}
const std::string& Process::output() const {
  return state_->text;
}
bool Process::outputTruncated() const {
  return state_->truncated;
}
std::optional<ExitStatus> Process::status() const {
  return state_->status;
}

asio::awaitable<void> Process::writeInput(std::string bytes) {
  auto state = state_;
  if (!state->input.is_open()) throw ProcessError::inputClosed();
  boost::system::error_code error;
  co_await asio::async_write(state->input, asio::buffer(bytes),
                             asio::redirect_error(asio::use_awaitable, error));
  if (error) throw ProcessError::inputClosed();
}

void Process::closeInput() {
  boost::system::error_code ignored;
  state_->input.close(ignored);
}

asio::awaitable<ExitStatus> Process::exited() {
  return state_->wait();
}

bool Process::outputHeld() const {
  return !state_->readerDone;
}

asio::awaitable<void> Process::released() {
  return state_->released();
}

asio::awaitable<ExitStatus> Process::terminateGroup(Duration grace) {
  auto state = state_;
  co_await endProcessGroup(state->pid, grace, *state->clock);
  co_return co_await state->wait();
}

}  // namespace brindlet::runtime
