#include "runtime/ProcessTable.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <sstream>
#include <string_view>

#include "runtime/Blocking.h"
#include "runtime/Files.h"

namespace brindlet::runtime {
namespace {

std::string fileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The start of a process's file, which is all the scans need; empty when it cannot be read,
// which is how a process that ended meanwhile reads (ESRCH).
std::string readStart(const std::string& file) {
  try {
    return readFile(file, 4095, BeyondLimit::keepStart);
  } catch (const FileError&) {
    return {};
  }
}

// The executable's file name; nothing for a process that has none (a kernel thread, or one that
// has ended), empty when it cannot be told.
std::optional<std::string> executableName(const std::string& dir, std::array<char, 4096>& buffer) {
  const auto length = ::readlink((dir + "/exe").c_str(), buffer.data(), buffer.size() - 1);
  if (length > 0) {
    std::string_view target(buffer.data(), static_cast<std::size_t>(length));
    // A replaced or removed executable still names the program that runs.
    constexpr std::string_view deleted = " (deleted)";
    if (target.ends_with(deleted)) target.remove_suffix(deleted.size());
    return fileName(target);
  }
  if (errno == ENOENT) return std::nullopt;
  // A process we may not look into is named by its argv[0], which ends at the first NUL.
  const std::string arguments = readStart(dir + "/cmdline");
  return fileName(std::string_view(arguments.c_str()));
}

// Calls `visit(folder, pid, inode)` for each process folder under `root`. The folder's inode
// number stays while its process lives; a process that comes later under the same pid gets
// another one. A process may end at any moment
// of a scan; its files then read as empty, which every caller treats as gone.
template <typename Visit>
void forEachProcess(const std::string& root, Visit visit) {
  mayBlock("a /proc scan");
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(root.c_str()), ::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    visit(root + "/" + entry->d_name, name, entry->d_ino);
  }
}

// The kernel's own spelling of a device number, as /proc/<pid>/stat writes it.
std::uint64_t kernelDeviceNumber(dev_t device) {
  const std::uint64_t major = ::major(device), minor = ::minor(device);
  return (minor & 0xff) | (major << 8) | ((minor & ~std::uint64_t(0xff)) << 12);
}

}  // namespace

std::optional<ProcessStat> parseProcessStat(const std::string& text) {
  const auto end = text.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(end + 1));
  ProcessStat stat;
  long long terminal = 0;
  if (!(fields >> stat.state >> stat.parent >> stat.group >> stat.session >> terminal)) {
    return std::nullopt;
  }
  // Written as a signed number; the bits are the device's.
  stat.terminal = static_cast<std::uint32_t>(terminal);
  return stat;
}

std::vector<std::string> ProcessTable::executables() {
  std::vector<std::string> names;
  for (auto& entry : scan()) names.push_back(std::move(entry.executable));
  return names;
}

ProcFsProcessTable::ProcFsProcessTable(std::string root) : root_(std::move(root)) {}

std::vector<ProcessEntry> ProcFsProcessTable::scan() {
  std::vector<ProcessEntry> entries;
  std::array<char, 4096> buffer{};
  forEachProcess(root_, [&](const std::string& path, std::string_view name, ino_t) {
    auto executable = executableName(path, buffer);
    // A kernel thread, gone since the folder was listed, or a zombie: nothing runs there.
    if (!executable || executable->empty()) return;
    ProcessEntry process{std::stoi(std::string(name)), std::move(*executable)};
    const auto stat = parseProcessStat(readStart(path + "/stat"));
    if (!stat) return;
    process.parent = stat->parent;
    process.session = stat->session;
    process.terminal = stat->terminal;
    entries.push_back(std::move(process));
  });
  return entries;
}

std::vector<std::string> ProcFsProcessTable::executables() {
  std::vector<std::string> names;
  std::array<char, 4096> buffer{};
  // A kernel thread never becomes a program, so one seen before is not asked again: on a
  // desktop they are near half of all processes.
  std::unordered_set<ino_t> withoutExecutable;
  forEachProcess(root_, [&](const std::string& path, std::string_view, ino_t inode) {
    if (withoutExecutable_.contains(inode)) {
      withoutExecutable.insert(inode);
      return;
    }
    auto name = executableName(path, buffer);
    if (!name) {
      withoutExecutable.insert(inode);
    } else if (!name->empty()) {
      names.push_back(std::move(*name));
    }
  });
  withoutExecutable_ = std::move(withoutExecutable);
  return names;
}

namespace {

// Calls `visit(pid, stat)` for each process under `root` that still runs: one that has ended and
// waits for its reaper cannot be signalled any more.
template <typename Visit>
void forEachLivingProcess(const std::string& root, Visit visit) {
  forEachProcess(root, [&](const std::string& path, std::string_view name, ino_t) {
    const auto stat = parseProcessStat(readStart(path + "/stat"));
    if (stat && stat->state != 'Z' && stat->state != 'X') {
      visit(std::stoi(std::string(name)), *stat);
    }
  });
}

}  // namespace

std::vector<int> livingGroupMembers(int group, const std::string& root) {
  std::vector<int> members;
  forEachLivingProcess(root, [&](int pid, const ProcessStat& stat) {
    if (stat.group == group) members.push_back(pid);
  });
  return members;
}

std::set<int> groupsStillRunning(const std::set<int>& groups, const std::string& root) {
  std::set<int> running;
  forEachLivingProcess(root, [&](int, const ProcessStat& stat) {
    if (groups.contains(stat.group)) running.insert(stat.group);
  });
  return running;
}

std::optional<std::uint64_t> ProcFsProcessTable::terminalDevice(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return std::nullopt;
  return kernelDeviceNumber(status.st_rdev);
}

}  // namespace brindlet::runtime
