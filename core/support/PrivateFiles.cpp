#include "core/support/PrivateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
        fd = ::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    struct stat info {};
    if (fd >= 0 && (flags & O_CREAT) != 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        ::fchmod(fd, 0600);
    }
    return fd;
}

}  // namespace noctave::files
