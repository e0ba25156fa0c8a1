#include "app/tray/DBusMenu.hpp"

#include <algorithm>
#include <cerrno>
#include <string_view>
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

namespace {

using linuxos::BusMethod;
using linuxos::DBusConnection;

// Event's and EventGroup's reading: each event's entry id, clicks told to the owner; the ids
// the layout lacks are collected in `unknown`.
int readEvent(sd_bus_message* call, const DBusMenuLayout& layout, const Owner& owner,
              std::vector<int32_t>& unknown) {
    int32_t id = 0;
    const char* event = nullptr;
    uint32_t timestamp = 0;
    int r = sd_bus_message_read(call, "is", &id, &event);
    r = r < 0 ? r : sd_bus_message_skip(call, "v");
    r = r < 0 ? r : sd_bus_message_read(call, "u", &timestamp);
    if (r < 0) {
        return r;
    }
    if (layout.find(id) == nullptr) {
        unknown.push_back(id);
    } else if (std::string_view(event) == "clicked") {
        owner.clicked(id);
    }
    return r;
}

std::vector<BusMethod> methods(const std::shared_ptr<DBusConnection>& bus,
                               const std::shared_ptr<const Owner>& owner) {
    return {
        {"GetLayout", "iias", "u(ia{sv}av)",
         "parentId recursionDepth propertyNames revision layout",
         [owner](sd_bus_message* call) {
             const auto layout = owner->layout();
             int32_t parent = 0;
             int32_t depth = 0;
             std::vector<std::string> names;
             int r = sd_bus_message_read(call, "ii", &parent, &depth);
             r = r < 0 ? r : readStrings(call, names);
             if (r < 0 || layout->find(parent) == nullptr) {
                 return r < 0 ? r : -ENOENT;
             }
             return DBusConnection::replyNow(call, [&](sd_bus_message* m) {
                 return appendLayout(m, *layout, parent, depth, names);
             });
         }},
        {"GetGroupProperties", "aias", "a(ia{sv})", "ids propertyNames properties",
         [owner](sd_bus_message* call) {
             const auto layout = owner->layout();
             std::vector<int32_t> ids;
             std::vector<std::string> names;
             int r = readIds(call, ids);
             r = r < 0 ? r : readStrings(call, names);
             if (r < 0) {
                 return r;
             }
             return DBusConnection::replyNow(call, [&](sd_bus_message* m) {
                 return appendGroupProperties(m, *layout, ids, names);
             });
         }},
        {"GetProperty", "is", "v", "id name value",
         [owner](sd_bus_message* call) {
             const auto layout = owner->layout();
             int32_t id = 0;
             const char* name = nullptr;
             if (const int r = sd_bus_message_read(call, "is", &id, &name); r < 0) {
                 return r;
             }
             return DBusConnection::replyNow(
                 call, [&](sd_bus_message* m) { return appendProperty(m, *layout, id, name); });
         }},
        {"Event", "isvu", "", "id eventId data timestamp",
         [owner](sd_bus_message* call) {
             std::vector<int32_t> unknown;
             if (const int r = readEvent(call, *owner->layout(), *owner, unknown); r < 0) {
                 return r;
             }
             return unknown.empty() ? DBusConnection::replyNow(call, {}) : -ENOENT;
         }},
        {"EventGroup", "a(isvu)", "ai", "events idErrors",
         [owner](sd_bus_message* call) {
             const auto layout = owner->layout();
             std::vector<int32_t> unknown;
             int r = sd_bus_message_enter_container(call, 'a', "(isvu)");
             while (r >= 0 && (r = sd_bus_message_enter_container(call, 'r', "isvu")) > 0) {
                 r = readEvent(call, *layout, *owner, unknown);
                 r = r < 0 ? r : sd_bus_message_exit_container(call);
             }
             if (r < 0) {
                 return r;
             }
             return DBusConnection::replyNow(call, [&](sd_bus_message* m) {
                 return sd_bus_message_append_array(m, 'i', unknown.data(),
                                                    unknown.size() * sizeof(int32_t));
             });
         }},
        // The menu is built on the main thread; the answer says whether it changed.
        {"AboutToShow", "i", "b", "id needUpdate",
         [bus, owner](sd_bus_message* call) {
             owner->aboutToShow([bus, serial = bus->defer(call)](bool changed) {
                 bus->reply(serial, [changed](sd_bus_message* m) {
                     return sd_bus_message_append(m, "b", static_cast<int>(changed));
                 });
             });
             return 1;
         }},
        {"AboutToShowGroup", "ai", "aiai", "ids updatesNeeded idErrors",
         [bus, owner](sd_bus_message* call) {
             owner->aboutToShow([bus, serial = bus->defer(call)](bool changed) {
                 bus->reply(serial, [changed](sd_bus_message* m) {
                     const int32_t root = 0;
                     int r = sd_bus_message_append_array(m, 'i', &root, changed ? sizeof root : 0);
                     return r < 0 ? r : sd_bus_message_append(m, "ai", 0);
                 });
             });
             return 1;
         }},
    };
}

}  // namespace

linuxos::ExportedObject object(const char* path, std::shared_ptr<linuxos::DBusConnection> bus,
                               Owner owner) {
    linuxos::ExportedObject menu;
    menu.path = path;
    menu.interface = kInterface;
    menu.methods = methods(bus, std::make_shared<const Owner>(std::move(owner)));
    menu.properties = {
        {"Version", "u", [](sd_bus_message* m) { return sd_bus_message_append(m, "u", 3U); }},
        {"TextDirection", "s",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "ltr"); }},
        {"Status", "s", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "normal"); }},
        {"IconThemePath", "as",
         [](sd_bus_message* m) { return sd_bus_message_append(m, "as", 0); }},
    };
    menu.emits = {
        {"ItemsPropertiesUpdated", "a(ia{sv})a(ias)", "updatedProps removedProps"},
        {"LayoutUpdated", "ui", "revision parent"},
        {"ItemActivationRequested", "iu", "id timestamp"},
    };
    return menu;
}

}  // namespace dbusmenu

}  // namespace noctave::app
