#include "deck/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <string_view>

namespace brindlet::deck {
namespace {

std::string fileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string executableName(const std::string& dir) {
  std::array<char, 4096> buffer{};
  const auto length = ::readlink((dir + "/exe").c_str(), buffer.data(), buffer.size() - 1);
  if (length > 0) {
    std::string_view target(buffer.data(), static_cast<std::size_t>(length));
    // A replaced or removed executable still names the program that runs.
    constexpr std::string_view deleted = " (deleted)";
    if (target.ends_with(deleted)) target.remove_suffix(deleted.size());
    return fileName(target);
  }
  const int fd = ::open((dir + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const auto got = ::read(fd, buffer.data(), buffer.size() - 1);
  ::close(fd);
  if (got <= 0) return {};
  // argv[0] ends at the first NUL.
  return fileName(std::string_view(buffer.data()));
}

}  // namespace

ProcFsProcessTable::ProcFsProcessTable(std::string root) : root_(std::move(root)) {}

std::vector<ProcessEntry> ProcFsProcessTable::scan() {
  std::vector<ProcessEntry> entries;
  DIR* dir = ::opendir(root_.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name.front()))) continue;
    ProcessEntry process{std::stoi(std::string(name)), executableName(root_ + "/" + entry->d_name)};
    if (!process.executable.empty()) entries.push_back(std::move(process));
  }
  ::closedir(dir);
  return entries;
}

}  // namespace brindlet::deck
