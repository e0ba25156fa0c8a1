// noctave-lid-guardian: started by Noctave when it stands a desktop's power manager down,
// with Noctave's pidfd at fd 3 and the leash at fd 4; puts the desktop's lid settings back
// if Noctave dies without doing so.
#include <memory>

#include "platform/linux/bus/DBusConnection.hpp"
#include "platform/linux/desktops/LidGuardian.hpp"
#include "platform/linux/desktops/LidOwners.hpp"

int main(int argc, char** argv) {
    using namespace noctave::linuxos;
    if (argc != 2) {
        return 2;
    }
    return desktops::guardLidRecord(
        3, 4, argv[1], [](const std::string& program, const std::string& location) {
            auto session = std::make_shared<DBusConnection>(BusKind::session, std::string(),
                                                            BusThread::creatorUntilWatched);
            return desktops::makeLidOwner(program, location, session);
        });
}
