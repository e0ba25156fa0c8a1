#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace noctave::files {

// Creates `folder` and every missing folder above it with mode 0700, whatever the umask; folders
// that already exist are left as they are. True when `folder` is a folder afterwards.
bool createPrivateDirectories(const std::filesystem::path& folder);

// The program's own folder: created as above, and when it already exists (from an older version,
// a copy, a restored backup) and belongs to this user, made 0700 if others could read it. A link
// in its place is not followed. True when `folder` is a folder afterwards.
bool makePrivateFolder(const std::filesystem::path& folder);

// Opens one of the program's own files: never through a symbolic link (a link planted where
// our file should be is refused with ELOOP), never inherited by a child process, created 0600.
// Only a regular file is opened, and without waiting: a FIFO planted at the path cannot hold the
// caller until someone opens its other end (ENXIO), a folder is EISDIR. With O_CREAT the file is
// ours to keep private: an existing one of this user's that others could read is made 0600.
// `flags` are open(2)'s access and creation flags. Returns the descriptor, or -1 with errno set.
int openPrivateFile(const std::filesystem::path& file, int flags);

// "<file>.bad", or the first free "<file>.bad.N" (N from 2): where an unusable file is moved
// aside, never over an earlier copy.
std::filesystem::path freeAsideName(const std::filesystem::path& file);

// Creates `temporary` new, private and write-only, for a file that is then renamed into place.
// A regular file already there is a leftover of an interrupted write and is removed; anything
// else in its place (a FIFO, a folder, a link) is moved aside to freeAsideName(temporary),
// which `movedAside` then names. Returns the descriptor, or -1 with errno set.
int createTemporaryFile(const std::filesystem::path& temporary, std::filesystem::path* movedAside);

// Whether a read goes through a symbolic link: the user's own files may be links (a settings file
// kept with the rest of their configuration); the program's private files never are.
enum class Links { follow, refuse };

// The whole of `file` when it holds at most `limit` bytes, never reading more than one byte past
// the limit; the descriptor is never inherited. Otherwise none, and `why` says why: the system's
// own words, or "larger than " + `limitText`.
std::optional<std::string> readBoundedFile(const std::filesystem::path& file, std::size_t limit,
                                           std::string_view limitText, Links links,
                                           std::string* why);

}  // namespace noctave::files
