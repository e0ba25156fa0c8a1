#include "app/WindowMemory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include <QPixmapCache>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"

namespace noctave::app::WindowMemory {

namespace {

int trims = 0;

bool isFileOfDisk(const std::string& path) {
    return path.starts_with('/') && !path.starts_with("/dev/") && !path.starts_with("/memfd:") &&
           !path.ends_with(" (deleted)");
}

}  // namespace

std::vector<Mapping> readMappings(std::istream& smaps) {
    std::vector<Mapping> mappings;
    std::string line;
    while (std::getline(smaps, line)) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        const auto dash = first.find('-');
        if (dash != std::string::npos && first.find(':') == std::string::npos) {
            // "start-end perms offset dev inode [path]"
            Mapping mapping;
            std::string perms, offset, device, inode;
            fields >> perms >> offset >> device >> inode;
            std::getline(fields >> std::ws, mapping.path);
            try {
                mapping.start = std::stoull(first.substr(0, dash), nullptr, 16);
                mapping.end = std::stoull(first.substr(dash + 1), nullptr, 16);
            } catch (const std::exception&) {
                continue;
            }
            mapping.isWritable = perms.size() > 1 && perms[1] == 'w';
            mappings.push_back(std::move(mapping));
        } else if (first == "Anonymous:" && !mappings.empty()) {
            fields >> mappings.back().anonymousKiB;
        }
    }
    return mappings;
}

bool mayDropPages(const Mapping& mapping) {
    // A page of a private file mapping that was ever written (relocations, say) is anonymous;
    // dropping it would bring back the file's bytes. Only mappings with none of those, which
    // cannot be written either, read back exactly what they held.
    return !mapping.isWritable && mapping.anonymousKiB == 0 && isFileOfDisk(mapping.path) &&
           mapping.end > mapping.start;
}

namespace {

// The code of the toolkit's widgets, text shaping and the fonts a window drew with stay mapped
// in after it is gone. They are clean pages of files in the page cache: handing them back costs
// a minor fault each when a window next needs them.
uint64_t dropFilePages() {
    std::ifstream smaps("/proc/self/smaps");
    uint64_t dropped = 0;
    for (const Mapping& mapping : readMappings(smaps)) {
        if (!mayDropPages(mapping)) {
            continue;
        }
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel's own address of the mapping
        auto* start = reinterpret_cast<void*>(mapping.start);
        if (::madvise(start, mapping.end - mapping.start, MADV_DONTNEED) == 0) {
            dropped += mapping.end - mapping.start;
        }
    }
    return dropped;
}

void trim() {
    ++trims;
    // Pixmaps of icons and styled controls drawn for the window; the tray icon is drawn anew.
    QPixmapCache::clear();
#if defined(__GLIBC__)
    // glibc keeps freed pages of its arenas mapped; the window's widgets were most of them.
    malloc_trim(0);
#endif
    dropFilePages();
    Log::debug("window memory trimmed");
}

}  // namespace

void trimAfterClose() {
    // Not held weakly: the work is process-wide and touches nothing that may have gone. Two
    // closes in a row trim twice, which costs a few milliseconds and no state to keep.
    runtime::mainQueue().asyncAfter(kSettleSeconds, [] { trim(); });
}

int trimCount() {
    return trims;
}

}  // namespace noctave::app::WindowMemory
