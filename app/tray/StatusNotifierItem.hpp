#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>

#include "app/tray/DBusMenu.hpp"
#include "app/tray/StatusItem.hpp"
#include "app/tray/TraylessWindow.hpp"
#include "core/runtime/Timer.hpp"
#include "core/runtime/WeakPtr.hpp"
#include "platform/linux/bus/DBusConnection.hpp"

class QMenu;
class QSystemTrayIcon;

namespace noctave::app {

// The tray item as a StatusNotifierItem (/StatusNotifierItem, org.kde.StatusNotifierItem) with
// its menu at /MenuBar over com.canonical.dbusmenu, served on the bus layer's own thread: a
// host's call is answered there at once, whatever the main thread is doing, and clicks hop to
// the main thread afterwards.
//
// It registers with the StatusNotifierWatcher when it starts and every time a watcher takes
// the name afterwards (a panel started late, or restarted). While no watcher has taken the
// item for `standInAfterSeconds` after the start, a window stands in for the tray (once no
// other window of the program is open); it goes when a watcher takes the item. Neither comes
// while Noctave's GNOME Shell extension owns its bus name: Quick Settings serves the user then.
//
// A left click pops the menu up at the point the host gives (X11); where a client cannot place
// a menu (Wayland), the item says it is a menu and the host shows the exported one.
//
// An X11 tray that only embeds windows (XEmbed, no watcher: i3bar, stalonetray...) gets a
// QSystemTrayIcon instead of the stand-in window, until a watcher takes the item.
class StatusNotifierItem final : public StatusItem {
  public:
    struct Options {
        std::shared_ptr<linuxos::DBusConnection> bus;
        double standInAfterSeconds = 3.0;
        // The host shows the exported menu (Wayland); else the item pops a menu up itself.
        bool hostShowsMenu = false;
    };

    explicit StatusNotifierItem(Options options);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    void setImage(const MenuBarIcon::Image& image) override;
    void setToolTip(const QString& text) override;
    void setAccessibilityLabel(const QString&) override {}
    void setAccessibilityValue(const QString&) override {}
    void popUpMenu(const std::vector<MenuEntry>& entries) override;
    void menuChanged() override;
    bool showStandIn() override;

    // Whether a watcher holds the item now.
    bool hasHost() const { return hasHost_; }
    // Whether an X11 embedding tray shows the item now.
    bool isEmbedded() const;
    // The window standing in for the tray, while it is open.
    TraylessWindow* standIn() const { return standIn_.data(); }
    // The well-known name the item is served under ("org.kde.StatusNotifierItem-<pid>-<n>").
    const std::string& serviceName() const;

    struct Shared;  // what the connection's thread serves from

  private:
    static linuxos::ExportedObject itemObject(const std::shared_ptr<Shared>& shared,
                                              const runtime::WeakPtr<StatusNotifierItem>& owner);
    void start();
    // Without a watcher after the wait: the X11 embedding tray if one runs, else the window.
    void noWatcherFound();
    void hostChanged(bool registered);
    void extensionChanged(bool serves);
    void clicked(Click click, QPoint at);
    void menuEvent(int32_t id);
    // Builds the exported menu again; true (and LayoutUpdated sent) when it changed.
    bool refreshMenu();
    // Hands the model's layout to the bus side and tells hosts (LayoutUpdated).
    void publishLayout();

    Options options_;
    std::shared_ptr<Shared> shared_;
    DBusMenuModel menu_;
    uint64_t itemExport_ = 0;
    uint64_t menuExport_ = 0;
    uint64_t watcherWatch_ = 0;
    uint64_t extensionWatch_ = 0;
    bool ownsName_ = false;
    bool hasHost_ = false;
    bool extensionServes_ = false;
    QString toolTip_;
    QPoint lastClick_;
    bool hasClickPoint_ = false;
    QPointer<QMenu> popup_;
    QPointer<TraylessWindow> standIn_;
    std::unique_ptr<QSystemTrayIcon> embedded_;
    std::optional<MenuBarIcon::Image> image_;
    std::unique_ptr<runtime::Timer> standInTimer_;
    QMetaObject::Connection standInWait_;  // until the last window closes
    runtime::WeakFactory<StatusNotifierItem> weakFactory_{this};
};

}  // namespace noctave::app
