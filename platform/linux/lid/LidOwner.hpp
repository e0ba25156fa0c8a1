#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace noctave::linuxos::lid {

// A setting's value as its owner spells it in text, or none when the user never set it (the
// desktop's default applies): a restore then removes the key rather than writing the default.
using SettingValue = std::optional<std::string>;

// A desktop's power manager that handles the lid itself (it holds its own handle-lid-switch
// inhibitor and asks logind to suspend), so logind's inhibitor alone does not hold the lid.
// Each owner reaches its own settings store (xfconf over the session bus, GSettings, KConfig
// files) and knows which keys make its lid action "nothing".
//
// Not thread-safe; one owner object is used by one thread.
class LidOwner {
  public:
    virtual ~LidOwner() = default;

    // The program that owns the lid ("xfce4-power-manager").
    virtual std::string program() const = 0;
    // Where its settings live and how they are changed, for --diagnose.
    virtual std::string mechanism() const = 0;
    // What a restore needs to find the same store again (a file, a schema); kept in the record.
    virtual std::string location() const = 0;
    // The keys that set the lid action, each with the value that makes it do nothing.
    struct Key {
        std::string name;
        std::string standDownValue;
    };
    virtual std::vector<Key> keys() const = 0;

    // The key's current value; false when the store cannot be read.
    virtual bool read(const std::string& key, SettingValue& value) = 0;
    // Writes a value, or removes the key when `value` is none. False when the store refused.
    virtual bool write(const std::string& key, const SettingValue& value) = 0;
    // Makes the running daemon take up the written values, where it does not watch its store.
    virtual bool reload() { return true; }
    // Whether, once stood down, the daemon hands the lid to logind (which our inhibitor holds)
    // rather than keeping it and doing nothing.
    virtual bool handsLidToLogind() const { return false; }
};

}  // namespace noctave::linuxos::lid
