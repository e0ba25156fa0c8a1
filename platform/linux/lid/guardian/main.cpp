// noctave-lid-guardian: started by Noctave when it stands a desktop's power manager down,
// with Noctave's pidfd and the leash at the fds GuardianFds.hpp names; puts the desktop's lid
// settings back if Noctave dies without doing so.
#include <memory>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/lid/GuardianFds.hpp"
#include "platform/linux/lid/LidGuardian.hpp"
#include "platform/linux/lid/LidOwners.hpp"

int main(int argc, char** argv) {
    using namespace noctave::linuxos;
    if (argc != 2) {
        return 2;
    }
    return lid::guardLidRecord(lid::kGuardianParentFd, lid::kGuardianLeashFd, argv[1],
                               [](const std::string& program, const std::string& location) {
                                   auto session = std::make_shared<DBusConnection>(
                                       BusKind::session, std::string(),
                                       BusThread::creatorUntilWatched);
                                   return lid::makeLidOwner(program, location, session);
                               });
}
