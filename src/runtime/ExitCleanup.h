#pragma once

// What a process that ends without its normal quit must still undo: files that would mislead a
// later program (the hook server's discovery files) and process groups that would outlive it (the
// programs a deck key's shell left behind). Their owners register them here while they exist and
// take them back when they have undone them themselves. A crash, a signal that ends the process,
// a quit that overran or a lost X display then undoes what is still registered, with system calls
// only.
//
// The rules:
// - One list of files and one of process groups, each of fixed size, held in constant-initialised
//   storage: reading them runs no initialiser and takes no lock, so a signal handler may.
// - Registering and taking back are lock-free and safe from any thread; registering a value that
//   is already there does nothing; a full list refuses (false), and the owner then undoes its
//   value on its own quit only.
// - A registered file is unlinked and a registered group gets SIGKILL; a value taken back is left
//   alone. Nothing else is touched, except that the clean-up also kills the groups that this
//   process's children lead (found in /proc): the programs it starts each lead a group of their
//   own, and die with it in any case. A child in a group it does not lead (a reader of our
//   standard error that the shell made our child, in our own group) is left alone.
// - The clean-up claims each value it acts on: once it has begun, a value is never reused for
//   another, and a second clean-up (the exit's second pass) acts on the same values again.
// - Once a clean-up has begun, a file is refused: the process is ending, and its owner must not
//   make it. An owner that registers a file in the same blocking call that writes it (see
//   Blocking.h) is covered either way: an exit waits for the blocking calls in flight between
//   its two passes.

#include <sys/types.h>

#include <filesystem>
#include <vector>

namespace brindlet::runtime {

// Files. A path longer than the system's limit is refused, and so is any once the clean-up has
// begun.
bool removeFileOnExit(const std::filesystem::path& path);
void keepFileOnExit(const std::filesystem::path& path);

// Process groups, by their leader's pid.
bool endGroupOnExit(pid_t group);
void keepGroupOnExit(pid_t group);
// The groups registered now: the registry's share of runtime::groupsLeftBehind (Process.h), the
// list that the quit ends with a grace and that adds the groups a full list refused.
std::vector<pid_t> groupsEndedOnExit();

// Unlinks the registered files and kills the registered groups and the groups this process's
// children lead with SIGKILL. Async-signal-safe.
void cleanUpForExit() noexcept;

// How a crash ends once it has cleaned up: an exit status, or -1 to end by the signal itself.
using CrashEnding = int (*)() noexcept;

// Every signal whose default would end the process, but SIGKILL, the quit signals (SIGTERM,
// SIGINT, SIGHUP: the App's) and SIGPIPE (the process code's), is covered, as one table in the
// source says with its reasons:
// - A crash (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGSYS), in our code or a
//   library's, and SIGQUIT clean up as above, write "Brindlet crashed (signal N):" and the stack
//   to standard error, then end as `ending` says, by default by the same signal.
// - SIGUSR1, SIGUSR2, SIGALRM, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU and the real-time signals
//   (SIGRTMIN to SIGRTMAX) clean up, then end the process as the signal's default does.
// - SIGXFSZ, SIGPROF and SIGVTALRM are ignored.
// The seven crash signals replace whatever handler was there before (a sanitizer's). Any other
// that is not at its default when it is covered (ignored by whoever started us, handled by a
// profiler) is left as it was; a handler that code installs later (the test hooks' SIGUSR1 and
// SIGUSR2) replaces ours.
//
// Installed at the top of main, before any thread starts. The handler runs on a stack of its own
// so that a stack overflow reaches it too: in the thread that installed it, and in every thread
// of ours, each of which calls coverThisThread as it starts (runtime::startThread, LoopThread,
// WorkerThread and the App's threads, through detail::nameThisThread). The threads libraries
// start (Qt's, GLib's, libx264's, Avahi's) have none: a stack overflow there ends the process by
// SIGSEGV, with no clean-up.
void coverFatalSignals();
void setCrashEnding(CrashEnding ending);
// Gives the calling thread the crash handler's stack, given back when the thread ends; a thread
// that has one already keeps it. Not from a signal handler.
void coverThisThread();

}  // namespace brindlet::runtime
