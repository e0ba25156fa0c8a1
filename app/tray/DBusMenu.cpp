#include "app/tray/DBusMenu.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <QStringList>

namespace noctave::app {

namespace {

std::string menuLabel(const QString& title) {
    std::string label;
    for (const char c : title.toStdString()) {
        label += c;
        if (c == '_') {
            label += '_';
        }
    }
    return label;
}

// The key equivalent's first chord in the notation hosts read ("Control", "Shift", "Alt",
// "Super", then the key).
std::vector<std::vector<std::string>> shortcutOf(const QKeySequence& keys) {
    if (keys.isEmpty()) {
        return {};
    }
    const QString text = QKeySequence(keys[0]).toString(QKeySequence::PortableText);
    std::vector<std::string> chord;
    // The key itself may be "+": only the separators before it are split on.
    const qsizetype last =
        text.size() > 1 ? text.lastIndexOf(QLatin1Char('+'), text.size() - 2) : -1;
    if (last > 0) {
        for (const QString& modifier : text.left(last).split(QLatin1Char('+'))) {
            chord.push_back(modifier == QLatin1String("Ctrl")   ? "Control"
                            : modifier == QLatin1String("Meta") ? "Super"
                                                                : modifier.toStdString());
        }
    }
    chord.push_back(text.mid(last + 1).toStdString());
    return {chord};
}

bool sameShape(const DBusMenuLayout& a, const DBusMenuLayout& b) {
    return std::equal(a.nodes.begin(), a.nodes.end(), b.nodes.begin(), b.nodes.end(),
                      [](const DBusMenuNode& x, const DBusMenuNode& y) {
                          return x.isSeparator == y.isSeparator && x.label == y.label &&
                                 x.isEnabled == y.isEnabled && x.isCheckable == y.isCheckable &&
                                 x.isChecked == y.isChecked && x.shortcut == y.shortcut &&
                                 x.children == y.children;
                      });
}

void addEntries(DBusMenuLayout& layout, size_t parent, const std::vector<MenuEntry>& entries,
                std::vector<std::function<void()>>& actions) {
    for (const MenuEntry& entry : entries) {
        const size_t index = layout.nodes.size();
        layout.nodes[parent].children.push_back(index);
        DBusMenuNode node;
        node.isSeparator = entry.kind == MenuEntry::Kind::separator;
        if (!node.isSeparator) {
            node.label = menuLabel(entry.title);
            node.isEnabled = entry.isEnabled;
            node.isCheckable = entry.isCheckable || entry.isChecked;
            node.isChecked = entry.isChecked;
            node.shortcut = shortcutOf(entry.keyEquivalent);
        }
        layout.nodes.push_back(std::move(node));
        // Indexed like the nodes: a submenu or separator runs nothing.
        actions.resize(layout.nodes.size());
        if (!entry.submenu.empty()) {
            addEntries(layout, index, entry.submenu, actions);
        } else if (!layout.nodes[index].isSeparator && entry.isEnabled) {
            actions[index] = entry.action;
        }
    }
}

}  // namespace

const DBusMenuNode* DBusMenuLayout::find(int32_t id) const {
    const auto it = std::find_if(nodes.begin(), nodes.end(),
                                 [id](const DBusMenuNode& node) { return node.id == id; });
    return it == nodes.end() ? nullptr : &*it;
}

DBusMenuModel::DBusMenuModel() {
    auto empty = std::make_shared<DBusMenuLayout>();
    empty->nodes.emplace_back();
    layout_ = std::move(empty);
}

bool DBusMenuModel::update(const std::vector<MenuEntry>& entries) {
    auto next = std::make_shared<DBusMenuLayout>();
    next->nodes.emplace_back();  // the root, id 0
    std::vector<std::function<void()>> actions(1);
    addEntries(*next, 0, entries, actions);

    const bool changed = !sameShape(*next, *layout_);
    if (changed) {
        // Fresh ids: an event a host sends for the old layout finds nothing rather than the
        // entry that took its place.
        for (size_t i = 1; i < next->nodes.size(); ++i) {
            next->nodes[i].id = nextId_++;
        }
        next->revision = layout_->revision + 1;
    } else {
        for (size_t i = 1; i < next->nodes.size(); ++i) {
            next->nodes[i].id = layout_->nodes[i].id;
        }
        next->revision = layout_->revision;
    }
    actions_.clear();
    for (size_t i = 1; i < next->nodes.size(); ++i) {
        if (actions[i]) {
            actions_.emplace(next->nodes[i].id, std::move(actions[i]));
        }
    }
    layout_ = std::move(next);
    return changed;
}

bool DBusMenuModel::trigger(int32_t id) const {
    const auto it = actions_.find(id);
    if (it == actions_.end()) {
        return false;
    }
    // A copy runs: the action may rebuild the menu (a switch flipped), which drops the
    // original under it.
    const auto action = it->second;
    action();
    return true;
}

namespace dbusmenu {

namespace {

bool wanted(const std::vector<std::string>& names, const char* name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
}

int appendProperties(sd_bus_message* m, const DBusMenuNode& node,
                     const std::vector<std::string>& names) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    auto add = [&](const char* name, const char* type, auto... values) {
        if (r < 0 || !wanted(names, name)) {
            return;
        }
        r = sd_bus_message_append(m, "{sv}", name, type, values...);
    };
    if (node.isSeparator) {
        add("type", "s", "separator");
        add("visible", "b", 1);
    } else if (node.id == 0) {
        add("children-display", "s", "submenu");
    } else {
        add("label", "s", node.label.c_str());
        add("enabled", "b", static_cast<int>(node.isEnabled));
        add("visible", "b", 1);
        if (node.isCheckable) {
            add("toggle-type", "s", "checkmark");
            add("toggle-state", "i", static_cast<int32_t>(node.isChecked ? 1 : 0));
        }
        if (!node.children.empty()) {
            add("children-display", "s", "submenu");
        }
        if (!node.shortcut.empty() && r >= 0 && wanted(names, "shortcut")) {
            r = sd_bus_message_open_container(m, 'e', "sv");
            r = r < 0 ? r : sd_bus_message_append(m, "s", "shortcut");
            r = r < 0 ? r : sd_bus_message_open_container(m, 'v', "aas");
            r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "as");
            for (const auto& chord : node.shortcut) {
                r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "s");
                for (const auto& key : chord) {
                    r = r < 0 ? r : sd_bus_message_append(m, "s", key.c_str());
                }
                r = r < 0 ? r : sd_bus_message_close_container(m);
            }
            for (int i = 0; i < 3 && r >= 0; ++i) {
                r = sd_bus_message_close_container(m);
            }
        }
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

int appendNode(sd_bus_message* m, const DBusMenuLayout& layout, const DBusMenuNode& node,
               int32_t depth, const std::vector<std::string>& names) {
    int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
    r = r < 0 ? r : sd_bus_message_append(m, "i", node.id);
    r = r < 0 ? r : appendProperties(m, node, names);
    r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "v");
    if (depth != 0) {
        for (const size_t child : node.children) {
            r = r < 0 ? r : sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
            r = r < 0 ? r : appendNode(m, layout, layout.nodes[child], depth - 1, names);
            r = r < 0 ? r : sd_bus_message_close_container(m);
        }
    }
    r = r < 0 ? r : sd_bus_message_close_container(m);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

}  // namespace

int appendLayout(sd_bus_message* reply, const DBusMenuLayout& layout, int32_t parentId,
                 int32_t depth, const std::vector<std::string>& propertyNames) {
    const DBusMenuNode* parent = layout.find(parentId);
    if (parent == nullptr) {
        return -ENOENT;
    }
    const int r = sd_bus_message_append(reply, "u", layout.revision);
    return r < 0 ? r : appendNode(reply, layout, *parent, depth, propertyNames);
}

int appendGroupProperties(sd_bus_message* reply, const DBusMenuLayout& layout,
                          const std::vector<int32_t>& ids,
                          const std::vector<std::string>& propertyNames) {
    int r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (const DBusMenuNode& node : layout.nodes) {
        if (!ids.empty() && std::find(ids.begin(), ids.end(), node.id) == ids.end()) {
            continue;
        }
        r = r < 0 ? r : sd_bus_message_open_container(reply, 'r', "ia{sv}");
        r = r < 0 ? r : sd_bus_message_append(reply, "i", node.id);
        r = r < 0 ? r : appendProperties(reply, node, propertyNames);
        r = r < 0 ? r : sd_bus_message_close_container(reply);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int appendProperty(sd_bus_message* reply, const DBusMenuLayout& layout, int32_t id,
                   const std::string& name) {
    const DBusMenuNode* node = layout.find(id);
    if (node == nullptr) {
        return -ENOENT;
    }
    // Built as a one-entry dictionary, then the entry's variant is copied out of it.
    sd_bus_message* scratch = nullptr;
    int r = sd_bus_message_new(sd_bus_message_get_bus(reply), &scratch, SD_BUS_MESSAGE_SIGNAL);
    r = r < 0 ? r : appendProperties(scratch, *node, {name});
    r = r < 0 ? r : sd_bus_message_seal(scratch, 1, 0);
    r = r < 0 ? r : sd_bus_message_rewind(scratch, 1);
    r = r < 0 ? r : sd_bus_message_enter_container(scratch, 'a', "{sv}");
    if (r >= 0) {
        r = sd_bus_message_enter_container(scratch, 'e', "sv");
        if (r == 0) {
            r = -ENOENT;  // the node has no such property
        }
    }
    r = r < 0 ? r : sd_bus_message_skip(scratch, "s");
    r = r < 0 ? r : sd_bus_message_copy(reply, scratch, 0);
    sd_bus_message_unref(scratch);
    return r;
}

int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(m, 'a', "s");
    const char* text = nullptr;
    while (r >= 0 && (r = sd_bus_message_read(m, "s", &text)) > 0) {
        out.emplace_back(text);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

int readIds(sd_bus_message* m, std::vector<int32_t>& out) {
    int r = sd_bus_message_enter_container(m, 'a', "i");
    int32_t id = 0;
    while (r >= 0 && (r = sd_bus_message_read(m, "i", &id)) > 0) {
        out.push_back(id);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

}  // namespace dbusmenu

}  // namespace noctave::app
