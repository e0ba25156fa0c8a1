#include "platform/linux/lid/XfconfLidOwner.hpp"

#include <charconv>
#include <cstring>
#include <string_view>

namespace noctave::linuxos::lid {

namespace {

constexpr const char* kXfconf = "org.xfce.Xfconf";
constexpr const char* kXfconfPath = "/org/xfce/Xfconf";
constexpr const char* kChannel = "xfce4-power-manager";
constexpr double kTimeout = 3.0;
constexpr const char* kHandsOver = "/xfce4-power-manager/logind-handle-lid-switch";

// Reads the variant the reader stands at as typed text; only the basic types xfconf
// properties use.
int readTyped(sd_bus_message* m, std::string& out) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr || std::strlen(contents) != 1) {
        return -ENOTSUP;
    }
    const char type = contents[0];
    r = sd_bus_message_enter_container(m, 'v', contents);
    if (r < 0) {
        return r;
    }
    switch (type) {
        case 'b': {
            int value = 0;
            r = sd_bus_message_read_basic(m, 'b', &value);
            out = std::string("b:") + (value ? "true" : "false");
            break;
        }
        case 'i': {
            int32_t value = 0;
            r = sd_bus_message_read_basic(m, 'i', &value);
            out = "i:" + std::to_string(value);
            break;
        }
        case 'u': {
            uint32_t value = 0;
            r = sd_bus_message_read_basic(m, 'u', &value);
            out = "u:" + std::to_string(value);
            break;
        }
        case 's': {
            const char* value = nullptr;
            r = sd_bus_message_read_basic(m, 's', &value);
            out = std::string("s:") + (value ? value : "");
            break;
        }
        default:
            return -ENOTSUP;
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

template <class Int>
bool parseWhole(const std::string& text, Int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

int appendTyped(sd_bus_message* m, std::string_view text) {
    if (text.size() < 2 || text[1] != ':') {
        return -EINVAL;
    }
    const std::string value(text.substr(2));
    const char type[2] = {text[0], '\0'};
    int r = sd_bus_message_open_container(m, 'v', type);
    if (r < 0) {
        return r;
    }
    switch (text[0]) {
        case 'b': {
            const int b = value == "true" ? 1 : 0;
            r = sd_bus_message_append_basic(m, 'b', &b);
            break;
        }
        case 'i': {
            int32_t i = 0;
            if (!parseWhole(value, i)) {
                return -EINVAL;
            }
            r = sd_bus_message_append_basic(m, 'i', &i);
            break;
        }
        case 'u': {
            uint32_t u = 0;
            if (!parseWhole(value, u)) {
                return -EINVAL;
            }
            r = sd_bus_message_append_basic(m, 'u', &u);
            break;
        }
        case 's':
            r = sd_bus_message_append_basic(m, 's', value.c_str());
            break;
        default:
            return -EINVAL;
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

class XfconfLidOwner final : public LidOwner {
  public:
    explicit XfconfLidOwner(std::shared_ptr<DBusConnection> bus) : bus_(std::move(bus)) {}

    std::string program() const override { return "xfce4-power-manager"; }
    std::string mechanism() const override {
        return "xfconf channel xfce4-power-manager over the session bus";
    }
    std::string location() const override { return kChannel; }
    std::vector<Key> keys() const override { return {{kHandsOver, "b:true"}}; }
    bool handsLidToLogind() const override { return true; }

    bool read(const std::string& key, SettingValue& value) override {
        std::string text;
        const CallStatus status = bus_->call(
            {kXfconf, kXfconfPath, kXfconf, "GetProperty"},
            [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "ss", kChannel, key.c_str());
            },
            [&](sd_bus_message* m) { return readTyped(m, text); }, kTimeout);
        if (status.ok()) {
            value = text;
            return true;
        }
        if (status.errorName == "org.xfce.Xfconf.Error.PropertyNotFound") {
            value.reset();
            return true;
        }
        return false;
    }

    bool write(const std::string& key, const SettingValue& value) override {
        if (!value) {
            return bus_
                ->call(
                    {kXfconf, kXfconfPath, kXfconf, "ResetProperty"},
                    [&](sd_bus_message* m) {
                        return sd_bus_message_append(m, "ssb", kChannel, key.c_str(), 0);
                    },
                    {}, kTimeout)
                .ok();
        }
        return bus_
            ->call(
                {kXfconf, kXfconfPath, kXfconf, "SetProperty"},
                [&](sd_bus_message* m) {
                    int r = sd_bus_message_append(m, "ss", kChannel, key.c_str());
                    return r < 0 ? r : appendTyped(m, *value);
                },
                {}, kTimeout)
            .ok();
    }

    LidAnswer answer() override {
        LidAnswer answer;
        answer.source = "xfconfd's live values for xfce4-power-manager";
        SettingValue handsOver;
        if (!read(kHandsOver, handsOver)) {
            answer.source = "xfconfd did not answer";
            return answer;
        }
        for (const auto& [state, key] :
             {std::pair{"on AC", "/xfce4-power-manager/lid-action-on-ac"},
              std::pair{"on battery", "/xfce4-power-manager/lid-action-on-battery"}}) {
            if (handsOver == "b:true") {
                // It drops its own lid lock and leaves the lid to logind, which ours holds.
                answer.states.push_back({state, "logind-handle-lid-switch=true", true});
                continue;
            }
            SettingValue action;
            const bool known = read(key, action);
            const std::string name = std::string(key).substr(std::string(key).rfind('/') + 1);
            answer.states.push_back({state,
                                     name + "=" +
                                         (!known   ? "?"
                                          : action ? action->substr(2)
                                                   : "unset (its default)"),
                                     known && (action == "u:0" || action == "i:0")});
        }
        return answer;
    }

  private:
    std::shared_ptr<DBusConnection> bus_;
};

}  // namespace

std::unique_ptr<LidOwner> makeXfceLidOwner(std::shared_ptr<DBusConnection> sessionBus) {
    if (!sessionBus) {
        return nullptr;
    }
    return std::make_unique<XfconfLidOwner>(std::move(sessionBus));
}

}  // namespace noctave::linuxos::lid
