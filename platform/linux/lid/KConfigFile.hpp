#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/linux/lid/LidOwner.hpp"

namespace noctave::linuxos::lid {

// A KConfig file as its lines, each with its line feed, so that what is not edited is
// written back byte for byte. Groups are named as written ("[AC][HandleButtonEvents]").
class KConfigLines {
  public:
    explicit KConfigLines(const std::string& text);

    std::string text() const;

    // The key's value in the group; none when either is missing.
    SettingValue get(const std::string& group, const std::string& key) const;
    // Sets the key (adding it, and the group, when missing), or removes it when `value` is
    // none, with its group when that held nothing else.
    void set(const std::string& group, const std::string& key, const SettingValue& value);

  private:
    // The header's index and the index past the group's last line; -1 when there is none.
    std::pair<long, long> groupRange(const std::string& group) const;
    long keyLine(long header, long end, const std::string& key) const;

    std::vector<std::string> lines_;
};

}  // namespace noctave::linuxos::lid
