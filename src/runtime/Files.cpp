#include "runtime/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>
#include <system_error>

#include "runtime/Blocking.h"
#include "runtime/FileDescriptor.h"

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
  const FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
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

std::string_view typeOf(mode_t mode) {
  if (S_ISDIR(mode)) return "folder";
  if (S_ISFIFO(mode)) return "pipe";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
  return "other";
}

std::string errorMessage(int error) {
  return std::generic_category().message(error);
}

// Reads from the descriptor's position to the end, keeping what `beyond` says once more than
// `limit` bytes came.
std::string readOpened(int fd, const fs::path& path, std::size_t limit, BeyondLimit beyond,
                       std::size_t expected) {
  std::string bytes;
  bytes.reserve(std::min(expected, limit) + 1);
  std::array<char, 16384> buffer;
  for (;;) {
    std::size_t wanted = buffer.size();
    // One byte past the limit tells a file that grew since it was measured.
    const std::size_t room = limit - std::min(limit, bytes.size());
    if (beyond != BeyondLimit::keepEnd && room < wanted) wanted = room + 1;
    const auto got = ::read(fd, buffer.data(), wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      throw FileError::cannotRead(path, error);
    }
    if (got == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(got));
    if (bytes.size() <= limit) continue;
    if (beyond == BeyondLimit::fail) throw FileError::tooLarge(path, limit);
    if (beyond == BeyondLimit::keepStart) break;
    // Trimmed only once the excess is large, so that a long tail is not moved on every read.
    if (bytes.size() >= 2 * limit + buffer.size()) bytes.erase(0, bytes.size() - limit);
  }
  if (bytes.size() > limit) {
    if (beyond == BeyondLimit::keepStart) bytes.resize(limit);
    if (beyond == BeyondLimit::keepEnd) bytes.erase(0, bytes.size() - limit);
  }
  return bytes;
}

}  // namespace

FileError::FileError(Case kind, fs::path path, int error, std::string text)
    : Error(std::move(text)), kind_(kind), path_(std::move(path)), error_(error) {}

FileError FileError::cannotOpen(fs::path path, int error) {
  std::string text = ErrorText("cannotOpen").text("path", path.string()).number("errno", error);
  return FileError(Case::cannotOpen, std::move(path), error, std::move(text));
}

FileError FileError::notRegular(fs::path path, std::string_view type) {
  std::string text = ErrorText("notRegular").text("path", path.string()).word("type", type);
  const int error = type == "folder" ? EISDIR : 0;
  return FileError(Case::notRegular, std::move(path), error, std::move(text));
}

FileError FileError::tooLarge(fs::path path, std::size_t limit) {
  std::string text = ErrorText("tooLarge")
                         .text("path", path.string())
                         .number("limit", static_cast<std::int64_t>(limit));
  return FileError(Case::tooLarge, std::move(path), EFBIG, std::move(text));
}

FileError FileError::cannotRead(fs::path path, int error) {
  std::string text = ErrorText("cannotRead").text("path", path.string()).number("errno", error);
  return FileError(Case::cannotRead, std::move(path), error, std::move(text));
}

std::string FileError::reason() const {
  if (kind_ == Case::tooLarge) return "File too large";
  if (error_ == 0) return "Not a regular file";
  return errorMessage(error_);
}

std::string readFile(const fs::path& path, std::size_t limit, BeyondLimit beyond) {
  mayBlock("readFile");
  // Without O_NONBLOCK, opening a named pipe waits for a writer for ever.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    const int error = errno;
    throw FileError::cannotOpen(path, error);
  }
  if (!S_ISREG(status.st_mode)) throw FileError::notRegular(path, typeOf(status.st_mode));
  const auto size = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
  if (size > limit) {
    if (beyond == BeyondLimit::fail) throw FileError::tooLarge(path, limit);
    if (beyond == BeyondLimit::keepEnd &&
        ::lseek(file.get(), static_cast<off_t>(size - limit), SEEK_SET) < 0) {
      const int error = errno;
      throw FileError::cannotRead(path, error);
    }
  }
  return readOpened(file.get(), path, limit, beyond, size);
}

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
  mayBlock("makeFolder");
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
  const FileDescriptor out(createTemporary(file, mode, temporary));
  try {
    // Created with at most 0600 above, so that nobody can open it before it holds its mode.
    if (::fchmod(out.get(), mode) != 0) fail("set file mode", temporary);
    writeAll(out.get(), bytes, temporary);
    if (::fsync(out.get()) != 0) fail("sync temporary file", temporary);
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail("rename temporary file", file);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(file.has_parent_path() ? file.parent_path() : fs::path("."));
}

}  // namespace brindlet::runtime
