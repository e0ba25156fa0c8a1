#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace noctave::linuxos::lid {

// A setting's value as its owner spells it in text, or none when the user never set it (the
// desktop's default applies): a restore then removes the key rather than writing the default.
using SettingValue = std::optional<std::string>;

// What the owner says a lid close does now, asked through its own interface: one state per
// power state (or profile) it can say about.
struct LidAnswer {
    struct State {
        std::string name;  // "on AC", "AC (powerdevilrc)", "now"
        std::string said;  // in the owner's words: "lidAction() = 1 (sleep)"
        bool doesNothing = false;
    };
    std::vector<State> states;
    std::string source;  // who answered, or why only the store could

    // Whether every state does nothing (and there is one).
    bool doesNothing() const {
        for (const auto& state : states) {
            if (!state.doesNothing) {
                return false;
            }
        }
        return !states.empty();
    }
    // "now: lidAction() = 0 (nothing); AC (powerdevilrc): LidAction=0 (nothing) [source]".
    std::string describe() const {
        std::string text;
        for (const auto& state : states) {
            text += (text.empty() ? "" : "; ") + state.name + ": " + state.said;
        }
        return (text.empty() ? std::string("no answer") : text) +
               (source.empty() ? "" : " [" + source + "]");
    }
};

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
    // Whether the store knows the key at all (a record may name one another version had).
    virtual bool hasKey(const std::string& /*key*/) { return true; }
    // Why the key cannot be changed exactly (immutable, not plain); empty when it can.
    virtual std::string refusal(const std::string& /*key*/) { return {}; }
    // Writes a value, or removes the key when `value` is none. False when the store refused.
    virtual bool write(const std::string& key, const SettingValue& value) = 0;
    // Makes the running daemon take up the written values, where it does not watch its store.
    virtual bool reload() { return true; }
    // What the running daemon (or, where it cannot be asked, its store as it reads it) will
    // do on a lid close now.
    virtual LidAnswer answer() = 0;
    // Whether, once stood down, the daemon hands the lid to logind (which our inhibitor holds)
    // rather than keeping it and doing nothing.
    virtual bool handsLidToLogind() const { return false; }
};

}  // namespace noctave::linuxos::lid
