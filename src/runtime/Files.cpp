#include "runtime/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>
#include <system_error>

#include "runtime/Blocking.h"

namespace brindlet::runtime {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what, const fs::path& path, int error = errno) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

fs::path runtimeDefault() {
  const auto uid = std::to_string(::getuid());
  fs::path run = fs::path("/run/user") / uid;
  std::error_code ignored;
  if (fs::is_directory(run, ignored)) return run;
  return fs::temp_directory_path() / ("brindlet-" + uid);
}

// Closes the descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string randomSuffix() {
  static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::string suffix(12, ' ');
  for (auto& ch : suffix) ch = letters[device() % (sizeof letters - 1)];
  return suffix;
}

// A new file of exactly `mode` that nobody else created: never an existing file or link.
int createTemporary(const fs::path& file, mode_t mode, fs::path& temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = file;
    temporary += "." + randomSuffix() + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    mode & 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) fail("create temporary file", temporary);
  }
  fail("create temporary file", file, EEXIST);
}

void writeAll(int fd, std::string_view bytes, const fs::path& temporary) {
  while (!bytes.empty()) {
    auto n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("write temporary file", temporary);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void syncFolder(const fs::path& folder) {
  Descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd >= 0) ::fsync(dir.fd);
}

// Creates the folders of the path that are not there yet, each with exactly `mode`.
void createMissing(const fs::path& folder, mode_t mode) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) == 0) return;
  if (errno != ENOENT) fail("inspect folder", folder);
  if (folder.has_relative_path() && folder.has_parent_path()) {
    createMissing(folder.parent_path(), mode);
  }
  if (::mkdir(folder.c_str(), mode) != 0) {
    if (errno == EEXIST) return;
    fail("create folder", folder);
  }
  if (::chmod(folder.c_str(), mode) != 0) fail("set folder mode", folder);
}

}  // namespace

fs::path homeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "/";
}

fs::path userFolder(UserFolder which) {
  struct Rule {
    const char* variable;
    const char* underHome;
  };
  static constexpr Rule rules[] = {{"XDG_DATA_HOME", ".local/share"},
                                   {"XDG_CONFIG_HOME", ".config"},
                                   {"XDG_STATE_HOME", ".local/state"},
                                   {"XDG_RUNTIME_DIR", nullptr}};
  const auto& rule = rules[static_cast<int>(which)];
  const char* set = std::getenv(rule.variable);
  if (set != nullptr && fs::path(set).is_absolute()) return set;
  if (rule.underHome == nullptr) return runtimeDefault();
  return homeFolder() / rule.underHome;
}

void makeFolder(const fs::path& folder, mode_t mode) {
  createMissing(folder, mode);
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) fail("inspect folder", folder);
  if (!S_ISDIR(status.st_mode)) fail("use folder", folder, ENOTDIR);
  if (status.st_uid != ::getuid()) fail("use folder owned by another user", folder, EPERM);
  if ((status.st_mode & 07777) != mode && ::chmod(folder.c_str(), mode) != 0) {
    fail("set folder mode", folder);
  }
}

void writeFileAtomically(const fs::path& file, std::string_view bytes, mode_t mode) {
  mayBlock("writeFileAtomically");
  fs::path temporary;
  Descriptor out{createTemporary(file, mode, temporary)};
  try {
    // Created with at most 0600 above, so that nobody can open it before it holds its mode.
    if (::fchmod(out.fd, mode) != 0) fail("set file mode", temporary);
    writeAll(out.fd, bytes, temporary);
    if (::fsync(out.fd) != 0) fail("sync temporary file", temporary);
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail("rename temporary file", file);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(file.has_parent_path() ? file.parent_path() : fs::path("."));
}

}  // namespace brindlet::runtime
