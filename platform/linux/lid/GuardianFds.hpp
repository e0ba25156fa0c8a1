#pragma once

namespace noctave::linuxos::lid {

// Where the guardian finds what Noctave hands it: Noctave's pidfd and the leash's read end.
constexpr int kGuardianParentFd = 3;
constexpr int kGuardianLeashFd = 4;

}  // namespace noctave::linuxos::lid
