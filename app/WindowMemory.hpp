#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace noctave::app {

// What a closed window leaves behind once it is deleted: the toolkit's image cache, free heap
// pages the allocator keeps for later, and the pages of library code and fonts it drew with. A
// tray utility spends most of its life with no window open, so it hands them back instead of
// carrying them until it quits.
namespace WindowMemory {

// Seconds after a close before the caches are dropped: the deletion and the window system's
// own clean-up (the backing store, the last expose) have happened by then.
inline constexpr double kSettleSeconds = 2.0;

// Once kSettleSeconds have passed, on the main queue: clears the image cache, asks the
// allocator to return its free pages and unmaps the clean pages of files (mayDropPages). Main
// thread only.
void trimAfterClose();

// How many trims have run in this process.
int trimCount();

// One mapping of /proc/self/smaps, as far as the trim needs it.
struct Mapping {
    uint64_t start = 0;
    uint64_t end = 0;
    bool isWritable = false;
    std::string path;  // empty for anonymous memory
    uint64_t anonymousKiB = 0;
};
std::vector<Mapping> readMappings(std::istream& smaps);
// True when the mapping's pages can be dropped and read back unchanged from their file.
bool mayDropPages(const Mapping& mapping);

}  // namespace WindowMemory

}  // namespace noctave::app
