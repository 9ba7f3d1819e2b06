#pragma once

#include <string>
#include <vector>

namespace brindlet::deck {

// One running process as the process reader matches it.
struct ProcessEntry {
  int pid = 0;
  std::string executable;  // file name of the executable, else of argv[0]; empty when unknown
};

// The processes running now.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  virtual std::vector<ProcessEntry> scan() = 0;
};

// Reads /proc: the executable's file name from /proc/<pid>/exe, else from argv[0] where the link
// cannot be read (another user's process, a kernel thread has neither).
class ProcFsProcessTable : public ProcessTable {
 public:
  explicit ProcFsProcessTable(std::string root = "/proc");
  std::vector<ProcessEntry> scan() override;

 private:
  std::string root_;
};

}  // namespace brindlet::deck
