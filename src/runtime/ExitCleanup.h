#pragma once

// What a process that ends without its normal quit must still undo: files that would mislead a
// later program (the hook server's discovery files) and process groups that would outlive it (the
// programs a deck key's shell left behind). Their owners register them here while they exist and
// take them back when they have undone them themselves. A crash, a quit that overran or a lost X
// display then undoes what is still registered, with system calls only.
//
// The rules:
// - One list of files and one of process groups, each of fixed size, held in constant-initialised
//   storage: reading them runs no initialiser and takes no lock, so a signal handler may.
// - Registering and taking back are lock-free and safe from any thread; registering a value that
//   is already there does nothing; a full list refuses (false), and the owner then undoes its
//   value on its own quit only.
// - A registered file is unlinked and a registered group gets SIGKILL; a value taken back is left
//   alone. Nothing else is touched, except that the clean-up also kills the groups of this
//   process's own children (found in /proc), which die with it in any case.
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
// The groups registered now, for the normal quit, which ends them with a grace.
std::vector<pid_t> groupsEndedOnExit();

// Unlinks the registered files and kills the registered groups and this process's children's
// groups with SIGKILL. Async-signal-safe.
void cleanUpForExit() noexcept;

// How a crash ends once it has cleaned up: an exit status, or -1 to end by the signal itself.
using CrashEnding = int (*)() noexcept;

// A crash (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGSYS), in our code or a
// library's, cleans up as above, writes "Brindlet crashed (signal N):" and the stack to standard
// error, then ends as `ending` says, by default by the same signal. Installed at the top of main,
// before any thread starts, on a stack of its own so that an overflow reaches it too.
void coverFatalSignals();
void setCrashEnding(CrashEnding ending);

}  // namespace brindlet::runtime
