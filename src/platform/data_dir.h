#pragma once

#include <string>

namespace rexmoor {

// Per-user data folder: $REXMOOR_DATA_DIR, else $XDG_DATA_HOME, else ~/.local/share. No trailing '/'.
std::string UserDataDir();
// Creates a folder and its missing parents; an existing folder is not an error.
int CreateFolderTree(const std::string& path);

}  // namespace rexmoor
