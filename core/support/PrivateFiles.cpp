#include "core/support/PrivateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>

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

int openPrivateFile(const fs::path& file, int flags) {
    int fd;
    do {
        fd = ::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace noctave::files
