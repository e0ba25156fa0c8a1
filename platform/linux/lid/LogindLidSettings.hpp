#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace noctave::linuxos::lid {

// logind's lid settings as its configuration files set them: logind.conf, then the drop-ins
// of every logind.conf.d folder in the order of their file names, a later file winning (and
// for one name, /etc over /run over /usr/lib). Only the keys named HandleLidSwitch* and
// LidSwitchIgnoreInhibited; a key no file sets is absent (logind's default applies).
std::map<std::string, std::string> readLogindLidSettings(const std::filesystem::path& root = "/");

}  // namespace noctave::linuxos::lid
