#pragma once

#include <cstdint>
#include <string>

namespace noctave::os {

// The words a text needs to be true on the machine it runs on: the machine's noun, its
// operating system, where the tray lives, how the chord is written, and what really acted
// when the displays slept, the session locked or the lid was held. Texts keep their
// structure and take only these words from the platform.
//
// Thread-safety: every member may be called from any thread; answers never change.
class Vocabulary {
  public:
    virtual ~Vocabulary() = default;

    // The machine as a sentence names it: "Close your <machine>.", "the <machine>'s".
    virtual std::string machine() const = 0;
    // The operating system as the subject of "<system> stopped reporting battery charge".
    virtual std::string operatingSystem() const = 0;
    // Where the status icon lives: "in the <tray>", "Right-click <tray> icon".
    virtual std::string tray() const = 0;
    // The arming chord in the desktop's own notation.
    virtual std::string chord() const = 0;

    // The service that holds lid sleep, and the connection to it that a session keeps open.
    virtual std::string powerService() const = 0;
    virtual std::string lidLock() const = 0;
    // The call that opens that connection, as "<serviceOpen> failed (0x<code>)" names it.
    virtual std::string serviceOpen() const = 0;

    // The instant display-sleep path behind a DisplayIdle library handle: what it is called in
    // "displays slept via <path> (instant)", and the call that may be missing or refuse.
    virtual std::string displaySleepPath(uint64_t library) const = 0;
    virtual std::string displaySleepCall(uint64_t library) const = 0;

    // What locks the session: "session locked via <sessionLocker>", and its lock action.
    virtual std::string sessionLocker() const = 0;
    virtual std::string lockAction() const = 0;

    // The call that sets or clears the lid-close flag, and its argument, as the self-test
    // names the step: "set lid-close flag (<call>, <argument>)".
    virtual std::string lidFlagCall() const = 0;
    virtual std::string lidFlagArgument(bool set) const = 0;
    // The assertion that keeps the machine from idle sleep, as "acquire <name> assertion".
    virtual std::string idleAssertion() const = 0;

    // The shell command that keeps the machine awake while it runs, as a terminal shows it.
    virtual std::string keepAwakeCommand() const = 0;
    // The sentence that says how released builds get their updates.
    virtual std::string updatesArrive() const = 0;
    // Which machines have a lid-angle sensor and what works without one (a whole sentence).
    virtual std::string hingeSensorNote() const = 0;
    // How to turn on the desktop's own place for the program where no tray shows it (a
    // sentence, then the command on a line of its own); empty where there is none.
    virtual std::string desktopExtensionNote() const = 0;
};

// The Mac's words, which the virtual laptop speaks (it plays a Mac) and which a system
// installed without a vocabulary falls back to.
class MacVocabulary final : public Vocabulary {
  public:
    std::string machine() const override { return "Mac"; }
    std::string operatingSystem() const override { return "macOS"; }
    std::string tray() const override { return "menu bar"; }
    std::string chord() const override { return "\u2303\u2325\u2318L"; }
    std::string powerService() const override { return "IOPMrootDomain"; }
    std::string lidLock() const override { return "IOPMrootDomain user client"; }
    std::string serviceOpen() const override { return "IOServiceOpen"; }
    std::string displaySleepPath(uint64_t) const override { return "SkyLight"; }
    std::string displaySleepCall(uint64_t) const override {
        return "SLSDisplayManagerRequestDisplaysIdle";
    }
    std::string sessionLocker() const override { return "macOS login framework"; }
    std::string lockAction() const override { return "macOS Lock Screen"; }
    std::string lidFlagCall() const override { return "selector 12"; }
    std::string lidFlagArgument(bool set) const override { return set ? "arg 1" : "arg 0"; }
    std::string idleAssertion() const override { return "PreventUserIdleSystemSleep"; }
    std::string keepAwakeCommand() const override { return "$ caffeinate -i"; }
    std::string updatesArrive() const override { return "Released builds update themselves."; }
    std::string hingeSensorNote() const override {
        return "Fn + lid close needs a Mac with a lid-angle sensor (MacBook Air M2 2022 or later, "
               "MacBook Pro 14\"/16\" 2021 or later). Right-click arming and the keyboard "
               "shortcut still work.";
    }
    std::string desktopExtensionNote() const override { return {}; }
};

// The installed system's vocabulary, or the Mac's when it supplies none.
const Vocabulary& vocabulary();

}  // namespace noctave::os
