#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

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

}  // namespace brindlet::runtime
