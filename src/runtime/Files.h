#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "runtime/Error.h"

namespace brindlet::runtime {

// The user's home folder: $HOME, else "/".
std::filesystem::path homeFolder();

// The user's folders by the XDG base directory rules. Each is its environment variable when that
// holds an absolute path, else its default: data ~/.local/share, config ~/.config, state
// ~/.local/state, runtime /run/user/<uid> when that folder is there, else <tmp>/brindlet-<uid>.
enum class UserFolder { data, config, state, runtime };
std::filesystem::path userFolder(UserFolder which);

// Creates the folder and its missing parents. The folders it creates get `mode` whatever the
// umask; the folder itself gets `mode` also when it was there already, and must be a real folder
// (not a link) owned by this user. Throws std::filesystem::filesystem_error.
void makeFolder(const std::filesystem::path& folder, mode_t mode = 0700);

// Replaces the file's contents all at once: readers see the old file or the new one, never a
// part, also after a crash. The bytes go to a new temporary file beside it, created with `mode`
// (which neither the umask nor any leftover file can change), synced, then renamed into place.
// The folder must exist. Throws std::filesystem::filesystem_error; the old file is then kept.
void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                         mode_t mode = 0600);

// Why a file could not be read.
class FileError : public Error {
 public:
  enum class Case { cannotOpen, notRegular, tooLarge, cannotRead };

  static FileError cannotOpen(std::filesystem::path path, int error);
  // `type` names what is there instead: "folder", "pipe", "socket", "device" or "other".
  static FileError notRegular(std::filesystem::path path, std::string_view type);
  static FileError tooLarge(std::filesystem::path path, std::size_t limit);
  static FileError cannotRead(std::filesystem::path path, int error);

  Case kind() const { return kind_; }
  const std::filesystem::path& path() const { return path_; }
  // The system's error number; EISDIR for a folder, 0 for other cases without one.
  int error() const { return error_; }
  // A short sentence for a person: the system's message for the error number, else "Not a
  // regular file" or "File too large".
  std::string reason() const;

  friend bool operator==(const FileError& a, const FileError& b) { return a.text() == b.text(); }

 private:
  FileError(Case kind, std::filesystem::path path, int error, std::string text);
  Case kind_;
  std::filesystem::path path_;
  int error_;
};

// What readFile does with a file longer than its limit.
enum class BeyondLimit {
  fail,       // throws tooLarge
  keepStart,  // the first `limit` bytes
  keepEnd,    // the last `limit` bytes (a log's tail), without reading what comes before
};

// A regular file's bytes, up to `limit`. Symbolic links are followed; anything but a regular
// file is refused without waiting (a named pipe with no writer, a device), since it is opened
// without blocking. The size the file reports only bounds the read: files of /proc and /sys
// report 0 and are read to their end. A file that grows past the limit while it is read counts
// as too large. Throws FileError.
std::string readFile(const std::filesystem::path& path, std::size_t limit,
                     BeyondLimit beyond = BeyondLimit::fail);

}  // namespace brindlet::runtime
