#include "platform/linux/lid/GSettingsLidOwner.hpp"

#include <gio/gio.h>

#include <vector>

namespace noctave::linuxos::lid {

namespace {

class GSettingsLidOwner final : public LidOwner {
  public:
    GSettingsLidOwner(std::string program, std::string schema, GSettings* settings,
                      std::vector<Key> keys)
        : program_(std::move(program)),
          schema_(std::move(schema)),
          settings_(settings),
          keys_(std::move(keys)) {}
    ~GSettingsLidOwner() override { g_object_unref(settings_); }
    GSettingsLidOwner(const GSettingsLidOwner&) = delete;
    GSettingsLidOwner& operator=(const GSettingsLidOwner&) = delete;

    std::string program() const override { return program_; }
    std::string mechanism() const override { return "GSettings " + schema_; }
    std::string location() const override { return schema_; }
    std::vector<Key> keys() const override { return keys_; }

    bool hasKey(const std::string& key) override {
        // Asked of the schema first: GSettings aborts the process on a key it lacks.
        GSettingsSchema* schema = nullptr;
        g_object_get(settings_, "settings-schema", &schema, nullptr);
        const bool has = g_settings_schema_has_key(schema, key.c_str()) != FALSE;
        g_settings_schema_unref(schema);
        return has;
    }

    bool read(const std::string& key, SettingValue& value) override {
        if (!hasKey(key)) {
            return false;
        }
        GVariant* user = g_settings_get_user_value(settings_, key.c_str());
        if (user == nullptr) {
            value.reset();
            return true;
        }
        gchar* text = g_variant_print(user, FALSE);
        value = std::string(text);
        g_free(text);
        g_variant_unref(user);
        return true;
    }

    bool write(const std::string& key, const SettingValue& value) override {
        if (!hasKey(key)) {
            return false;
        }
        if (!value) {
            g_settings_reset(settings_, key.c_str());
            g_settings_sync();
            return true;
        }
        GVariant* current = g_settings_get_value(settings_, key.c_str());
        const GVariantType* type = g_variant_get_type(current);
        GVariant* parsed = g_variant_parse(type, value->c_str(), nullptr, nullptr, nullptr);
        g_variant_unref(current);
        if (parsed == nullptr) {
            return false;
        }
        g_variant_ref_sink(parsed);
        // Checked first: GSettings warns on stderr about a value outside the key's range.
        GSettingsSchema* schema = nullptr;
        g_object_get(settings_, "settings-schema", &schema, nullptr);
        GSettingsSchemaKey* schemaKey = g_settings_schema_get_key(schema, key.c_str());
        const bool inRange = g_settings_schema_key_range_check(schemaKey, parsed) != FALSE;
        g_settings_schema_key_unref(schemaKey);
        g_settings_schema_unref(schema);
        if (!inRange) {
            g_variant_unref(parsed);
            return false;
        }
        const bool written = g_settings_set_value(settings_, key.c_str(), parsed) != FALSE;
        g_variant_unref(parsed);
        g_settings_sync();
        return written;
    }

    LidAnswer answer() override {
        // The values in effect, defaults and the administrator's locks included: what the
        // daemon reads through the same dconf.
        LidAnswer answer;
        answer.source = "GSettings " + schema_ + " as " + program_ + " reads it";
        for (const auto& key : keys_) {
            GVariant* value = g_settings_get_value(settings_, key.name.c_str());
            gchar* text = g_variant_print(value, FALSE);
            const std::string said = text;
            g_free(text);
            g_variant_unref(value);
            const bool locked = g_settings_is_writable(settings_, key.name.c_str()) == FALSE;
            answer.states.push_back(
                {key.name.find("-ac") != std::string::npos ? "on AC" : "on battery",
                 key.name + "=" + said + (locked ? " (locked)" : ""), said == key.standDownValue});
        }
        return answer;
    }

  private:
    std::string program_;
    std::string schema_;
    GSettings* settings_;
    std::vector<Key> keys_;
};

std::unique_ptr<LidOwner> make(const char* program, const char* schemaId,
                               std::vector<LidOwner::Key> keys) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, schemaId, TRUE) : nullptr;
    if (schema == nullptr) {
        return nullptr;  // g_settings_new would abort the process
    }
    for (const auto& key : keys) {
        if (g_settings_schema_has_key(schema, key.name.c_str()) == FALSE) {
            g_settings_schema_unref(schema);
            return nullptr;
        }
    }
    g_settings_schema_unref(schema);
    return std::make_unique<GSettingsLidOwner>(program, schemaId, g_settings_new(schemaId),
                                               std::move(keys));
}

}  // namespace

std::unique_ptr<LidOwner> makeMateLidOwner() {
    return make("mate-power-manager", "org.mate.power-manager",
                {{"button-lid-battery", "'nothing'"}, {"button-lid-ac", "'nothing'"}});
}

std::unique_ptr<LidOwner> makeCinnamonLidOwner() {
    return make("csd-power", "org.cinnamon.settings-daemon.plugins.power",
                {{"lid-close-battery-action", "'nothing'"}, {"lid-close-ac-action", "'nothing'"}});
}

}  // namespace noctave::linuxos::lid
