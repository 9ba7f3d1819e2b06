#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace brindlet::runtime {

// One running process: what it runs and where it sits among the others.
struct ProcessEntry {
  int pid = 0;
  std::string executable;  // file name of the executable, else of argv[0]; empty when unknown
  int parent = 0;
  int session = 0;             // process id of the session's leader
  std::uint64_t terminal = 0;  // device number of its controlling terminal; 0 without one

  friend bool operator==(const ProcessEntry&, const ProcessEntry&) = default;
};

// The processes running now.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  virtual std::vector<ProcessEntry> scan() = 0;
  // Only the executables' names of what `scan` would list, for callers that need nothing else
  // and may ask often.
  virtual std::vector<std::string> executables();
  // The device number of a terminal's device file ("/dev/pts/3") as `terminal` spells it;
  // nothing when the path is not a character device.
  virtual std::optional<std::uint64_t> terminalDevice(const std::string& path) = 0;
};

// Reads /proc: the executable's file name from /proc/<pid>/exe, else from argv[0] where the link
// cannot be read (another user's process, a kernel thread has neither); the family and the
// terminal from /proc/<pid>/stat. Processes with neither name are left out.
class ProcFsProcessTable : public ProcessTable {
 public:
  explicit ProcFsProcessTable(std::string root = "/proc");
  std::vector<ProcessEntry> scan() override;
  std::vector<std::string> executables() override;
  std::optional<std::uint64_t> terminalDevice(const std::string& path) override;

 private:
  std::string root_;
  std::unordered_set<ino_t> withoutExecutable_;  // process folders of kernel threads
};

// The fields of /proc/<pid>/stat the system reads. The process's name may hold anything, even
// ") ", so the fields are counted from the last ')'.
struct ProcessStat {
  char state = 0;
  int parent = 0;
  int group = 0;
  int session = 0;
  std::uint64_t terminal = 0;
};
std::optional<ProcessStat> parseProcessStat(const std::string& text);

// The processes of the group that still run. Ended members that nobody has reaped yet (a
// container's first process may never reap) do not count; they cannot be signalled any more.
// A member that ends while the folder is read counts as gone, never as an error.
std::vector<int> livingGroupMembers(int group, const std::string& root = "/proc");

// The groups among `groups` that have a member that still runs, counted as livingGroupMembers
// counts, from one reading of /proc however many groups are asked about.
std::set<int> groupsStillRunning(const std::set<int>& groups, const std::string& root = "/proc");

}  // namespace brindlet::runtime
