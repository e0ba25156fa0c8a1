#pragma once

#include <filesystem>

namespace noctave::files {

// Creates `folder` and every missing folder above it with mode 0700, whatever the umask; folders
// that already exist are left as they are. True when `folder` is a folder afterwards.
bool createPrivateDirectories(const std::filesystem::path& folder);

// Opens one of the program's own files: never through a symbolic link (a link planted where
// our file should be is refused with ELOOP), never inherited by a child process, created 0600.
// `flags` are open(2)'s access and creation flags. Returns the descriptor, or -1 with errno set.
int openPrivateFile(const std::filesystem::path& file, int flags);

}  // namespace noctave::files
