#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/tray/StatusItem.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

namespace noctave::app {

// One entry of the exported menu as com.canonical.dbusmenu describes it. Node 0 is the root.
struct DBusMenuNode {
    int32_t id = 0;
    bool isSeparator = false;
    std::string label;  // with its underscores doubled (a single one marks a mnemonic)
    bool isEnabled = true;
    bool isCheckable = false;
    bool isChecked = false;
    std::vector<std::vector<std::string>> shortcut;  // [["Control", "q"]]
    std::vector<size_t> children;                    // indices into DBusMenuLayout::nodes
};

// What the bus side serves: an immutable picture of the menu at one revision.
struct DBusMenuLayout {
    uint32_t revision = 0;
    std::vector<DBusMenuNode> nodes;  // nodes[0] is the root

    const DBusMenuNode* find(int32_t id) const;
};

// The menu exported over com.canonical.dbusmenu, built from the same entries as the pop-up
// menu. Main thread: update() and trigger(); the layout it hands out is read on any thread.
class DBusMenuModel {
  public:
    DBusMenuModel();

    // Takes `entries` as the menu. True when the layout changed (a new revision, new ids);
    // an unchanged layout keeps its ids, so a host holding it stays right, and only the
    // actions are replaced.
    bool update(const std::vector<MenuEntry>& entries);

    std::shared_ptr<const DBusMenuLayout> layout() const { return layout_; }

    // Runs the action of entry `id` of the current layout; false for an unknown, stale,
    // disabled or non-action id.
    bool trigger(int32_t id) const;

  private:
    std::shared_ptr<const DBusMenuLayout> layout_;
    std::map<int32_t, std::function<void()>> actions_;
    int32_t nextId_ = 1;
};

// The com.canonical.dbusmenu interface: its object, and the encoders of a layout that its
// methods answer with, run on the connection's thread. Each returns what sd-bus returns
// (negative on failure).
namespace dbusmenu {

inline constexpr const char* kInterface = "com.canonical.dbusmenu";

// What the menu's methods ask of its owner, on the connection's thread.
struct Owner {
    // The picture to answer from now.
    std::function<std::shared_ptr<const DBusMenuLayout>()> layout;
    // A host clicked entry `id` of the current layout.
    std::function<void(int32_t id)> clicked;
    // A host is about to show the menu: the owner builds it again and calls `answer` (from any
    // thread) with whether it changed.
    std::function<void(std::function<void(bool changed)> answer)> aboutToShow;
};

// The menu object at `path` on `bus`, its methods answering from `owner`.
linuxos::ExportedObject object(const char* path, std::shared_ptr<linuxos::DBusConnection> bus,
                               Owner owner);

// GetLayout(parentId, depth, propertyNames) -> (revision, (id, properties, children)).
int appendLayout(sd_bus_message* reply, const DBusMenuLayout& layout, int32_t parentId,
                 int32_t depth, const std::vector<std::string>& propertyNames);
// GetGroupProperties(ids, propertyNames) -> a(ia{sv}); an empty `ids` asks for every node.
int appendGroupProperties(sd_bus_message* reply, const DBusMenuLayout& layout,
                          const std::vector<int32_t>& ids,
                          const std::vector<std::string>& propertyNames);
// GetProperty(id, name) -> v; -ENOENT for an unknown id or property.
int appendProperty(sd_bus_message* reply, const DBusMenuLayout& layout, int32_t id,
                   const std::string& name);

// Reads an "as" or an "ai" argument.
int readStrings(sd_bus_message* m, std::vector<std::string>& out);
int readIds(sd_bus_message* m, std::vector<int32_t>& out);

}  // namespace dbusmenu

}  // namespace noctave::app
