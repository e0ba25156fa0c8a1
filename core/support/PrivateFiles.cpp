#include "core/support/PrivateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace noctave::files {

namespace fs = std::filesystem;

bool createPrivateDirectories(const fs::path& folder) {
    std::error_code error;
    if (folder.empty() || fs::is_directory(folder, error)) {
        return !folder.empty();
    }
    const fs::path parent = folder.parent_path();
    if (parent != folder && !createPrivateDirectories(parent)) {
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) == 0) {
        // mkdir's mode passes through the umask; the folder is ours, so say exactly what it is.
        ::chmod(folder.c_str(), 0700);
        return true;
    }
    return errno == EEXIST && fs::is_directory(folder, error);
}

bool makePrivateFolder(const fs::path& folder) {
    if (!createPrivateDirectories(folder)) {
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), 0700);
    }
    return true;
}

int openPrivateFile(const fs::path& file, int flags) {
    int fd;
    do {
        fd = ::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int why = S_ISDIR(info.st_mode) ? EISDIR : ENXIO;
        ::close(fd);
        errno = why;
        return -1;
    }
    if ((flags & O_CREAT) != 0 && info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    return fd;
}

fs::path freeAsideName(const fs::path& file) {
    std::error_code error;
    for (int n = 1;; ++n) {
        fs::path aside = file;
        aside += n == 1 ? std::string(".bad") : ".bad." + std::to_string(n);
        if (!fs::exists(fs::symlink_status(aside, error))) {
            return aside;
        }
    }
}

int createTemporaryFile(const fs::path& temporary, fs::path* movedAside) {
    movedAside->clear();
    // Twice at most: once more after clearing the name.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = openPrivateFile(temporary, O_WRONLY | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST || attempt > 0) {
            return fd;
        }
        struct stat info {};
        if (::lstat(temporary.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            ::unlink(temporary.c_str());
            continue;
        }
        const fs::path aside = freeAsideName(temporary);
        if (::rename(temporary.c_str(), aside.c_str()) != 0) {
            return -1;
        }
        *movedAside = aside;
    }
    return -1;
}

std::optional<std::string> readBoundedFile(const fs::path& file, std::size_t limit,
                                           std::string_view limitText, Links links,
                                           std::string* why) {
    // Non-blocking, so that a FIFO planted at the path cannot hold the caller until someone
    // writes to it; only a regular file is read.
    int fd = -1;
    if (links == Links::refuse) {
        fd = openPrivateFile(file, O_RDONLY);
        if (fd < 0 && errno == ENXIO) {
            *why = "not a regular file";
            return std::nullopt;
        }
    } else {
        do {
            fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) {
        *why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        ::close(fd);
        return std::nullopt;
    }
    // One byte past the limit is enough to know the file is too large.
    std::string text;
    char buffer[8192];
    while (text.size() <= limit) {
        const std::size_t want = std::min(sizeof buffer, limit + 1 - text.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *why = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.size() > limit) {
        *why = "larger than " + std::string(limitText);
        return std::nullopt;
    }
    return text;
}

}  // namespace noctave::files
