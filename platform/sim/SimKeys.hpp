#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace noctave::sim {

// The virtual laptop's starting-state keys (NOCTAVE_SIM): each piece of virtual hardware adds
// the keys it understands, and a "key=value,key=value" text is applied through them.
class SimKeys {
  public:
    // Returns false for a bad value.
    using Handler = std::function<bool(std::string_view value)>;

    // A key added again replaces the earlier handler.
    void add(std::string key, Handler handler);

    // A key whose value is one of a few words, each standing for one value given to `apply`:
    // addWords("fn", {{"up", false}, {"down", true}}, setHeld). Any other word is a bad value.
    template <class Value, class Apply>
    void addWords(std::string key, std::vector<std::pair<std::string_view, Value>> words,
                  Apply apply) {
        add(std::move(key),
            [words = std::move(words), apply = std::move(apply)](std::string_view value) mutable {
                for (const auto& [word, meaning] : words) {
                    if (word == value) {
                        apply(meaning);
                        return true;
                    }
                }
                return false;
            });
    }

    // Applies "key=value,key=value" in order (blanks around pieces ignored). On a bad piece
    // returns false and sets `error` to the text the command line prints:
    // "unknown NOCTAVE_SIM key: <key>" or "bad NOCTAVE_SIM value for <key>: <value>".
    bool configure(std::string_view spec, std::string* error) const;

  private:
    std::map<std::string, Handler, std::less<>> handlers_;
};

}  // namespace noctave::sim
