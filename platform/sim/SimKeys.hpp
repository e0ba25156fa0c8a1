#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace noctave::sim {

// The virtual laptop's starting-state keys (NOCTAVE_SIM): each piece of virtual hardware adds
// the keys it understands, and a "key=value,key=value" text is applied through them.
class SimKeys {
  public:
    // Returns false for a bad value.
    using Handler = std::function<bool(std::string_view value)>;

    // A key added again replaces the earlier handler.
    void add(std::string key, Handler handler);

    // Applies "key=value,key=value" in order (blanks around pieces ignored). On a bad piece
    // returns false and sets `error` to the text the command line prints:
    // "unknown NOCTAVE_SIM key: <key>" or "bad NOCTAVE_SIM value for <key>: <value>".
    bool configure(std::string_view spec, std::string* error) const;

  private:
    std::map<std::string, Handler, std::less<>> handlers_;
};

}  // namespace noctave::sim
