#include "app/tray/StatusNotifierItem.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <utility>

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWindow>

#include "app/tray/TraylessWindow.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/Log.hpp"
#include "platform/linux/GnomeShellExtension.hpp"

namespace noctave::app {

namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr double kStartTimeoutSeconds = 5.0;
constexpr const char* kDeniedMessage = "Noctave answers only its own user";
constexpr const char* kGoneMessage = "Noctave is quitting";
constexpr uint64_t kRegisterTimeoutUsec = 5'000'000;
constexpr int kIconEdges[] = {16, 22, 24, 32, 48, 64};

// Trays do not recolour mask images as a menu bar does, so the item does it: white on GNOME's
// always-dark top bar, elsewhere the theme's text colour (what the panel's own labels use).
QColor maskColour() {
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP").toLower();
    if (desktop.contains("gnome") || desktop.contains("unity")) {
        return Qt::white;
    }
    return QGuiApplication::palette().color(QPalette::WindowText);
}

QImage drawn(const MenuBarIcon::Image& image, int edge) {
    QImage pixels = image.icon.pixmap(edge, edge)
                        .toImage()
                        .scaled(edge, edge)
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isTemplate) {
        QPainter painter(&pixels);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixels.rect(), maskColour());
    }
    return pixels.convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

// What the connection's thread answers from; the main thread writes it under the mutex and
// then sends the signal that tells hosts to read it again.
struct StatusNotifierItem::Shared {
    struct Pixmap {
        int32_t width = 0;
        int32_t height = 0;
        std::vector<uint8_t> argb;  // ARGB32 in network byte order, as hosts read it
        bool operator==(const Pixmap&) const = default;
    };

    std::mutex mutex;
    std::shared_ptr<const DBusMenuLayout> layout;
    std::string toolTip = "Noctave";
    std::vector<Pixmap> icon;
    bool itemIsMenu = false;
    std::string serviceName;
    runtime::WeakPtr<StatusNotifierItem> owner;
    std::atomic<bool> alive{true};
};

namespace {

using Shared = StatusNotifierItem::Shared;

std::vector<Shared::Pixmap> pixmapsOf(const MenuBarIcon::Image& image) {
    std::vector<Shared::Pixmap> pixmaps;
    for (const int edge : kIconEdges) {
        const QImage pixels = drawn(image, edge);
        Shared::Pixmap pixmap{edge, edge, {}};
        pixmap.argb.reserve(static_cast<size_t>(edge) * static_cast<size_t>(edge) * 4);
        for (int y = 0; y < edge; ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
            for (int x = 0; x < edge; ++x) {
                for (const int shift : {24, 16, 8, 0}) {
                    pixmap.argb.push_back(static_cast<uint8_t>((row[x] >> shift) & 0xffU));
                }
            }
        }
        pixmaps.push_back(std::move(pixmap));
    }
    return pixmaps;
}

int appendPixmaps(sd_bus_message* m, const std::vector<Shared::Pixmap>& pixmaps) {
    int r = sd_bus_message_open_container(m, 'a', "(iiay)");
    for (const auto& pixmap : pixmaps) {
        r = r < 0 ? r : sd_bus_message_open_container(m, 'r', "iiay");
        r = r < 0 ? r : sd_bus_message_append(m, "ii", pixmap.width, pixmap.height);
        r = r < 0 ? r : sd_bus_message_append_array(m, 'y', pixmap.argb.data(), pixmap.argb.size());
        r = r < 0 ? r : sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

// Runs `fn(item)` on the main queue if the item still exists then.
template <class F>
void onMain(const runtime::WeakPtr<StatusNotifierItem>& owner, F fn) {
    runtime::mainQueue().async(runtime::bindWeak(owner, std::move(fn)));
}

using Registered = std::function<void(bool)>;

int onRegistered(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    if (error != nullptr && !sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) &&
        !sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
        Log::warn(std::string("the tray's StatusNotifierWatcher refused the item: ") +
                  (error->message != nullptr ? error->message : error->name));
    }
    (*static_cast<Registered*>(userdata))(error == nullptr);
    return 0;
}

// Asks the watcher, if one runs, to take the item; `done` runs on the connection's thread with
// the answer. No watcher is started for it.
void registerWith(sd_bus* bus, const std::string& serviceName, Registered done) {
    sd_bus_message* call = nullptr;
    sd_bus_slot* slot = nullptr;
    auto* keep = new Registered(std::move(done));
    int r = bus == nullptr ? -ENOTCONN
                           : sd_bus_message_new_method_call(bus, &call, kWatcher, kWatcherPath,
                                                            kWatcher, "RegisterStatusNotifierItem");
    r = r < 0 ? r : sd_bus_message_append(call, "s", serviceName.c_str());
    r = r < 0 ? r : sd_bus_message_set_auto_start(call, 0);
    r = r < 0 ? r : sd_bus_call_async(bus, &slot, call, &onRegistered, keep, kRegisterTimeoutUsec);
    sd_bus_message_unref(call);
    if (r < 0) {
        (*keep)(false);
        delete keep;
        return;
    }
    // The bus keeps the pending call; the answer, the timeout or the connection's end frees it.
    sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<Registered*>(p); });
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

// Whether one of the program's windows is on screen (menus and tooltips aside).
bool anotherWindowShown() {
    const auto windows = QGuiApplication::topLevelWindows();
    return std::any_of(windows.begin(), windows.end(), [](const QWindow* window) {
        return window->isVisible() &&
               (window->type() == Qt::Window || window->type() == Qt::Dialog);
    });
}

std::string nextServiceName() {
    static std::atomic<int> count{0};
    return "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

}  // namespace

// The item's object: its properties read from `shared`, its clicks hopping to the main queue
// once the host has had its answer (a menu never holds the host's call).
linuxos::ExportedObject StatusNotifierItem::itemObject(
    const std::shared_ptr<Shared>& shared, const runtime::WeakPtr<StatusNotifierItem>& owner) {
    auto text = [](const char* value) {
        return [value](sd_bus_message* m) { return sd_bus_message_append(m, "s", value); };
    };
    auto locked = [shared](auto append) {
        return [shared, append](sd_bus_message* m) {
            const std::lock_guard lock(shared->mutex);
            return append(m, *shared);
        };
    };
    auto click = [owner](Click which) {
        return [owner, which](sd_bus_message* call) {
            int32_t x = 0;
            int32_t y = 0;
            if (const int r = sd_bus_message_read(call, "ii", &x, &y); r < 0) {
                return r;
            }
            const int r = linuxos::DBusConnection::replyNow(call, {});
            onMain(owner, [which, x, y](StatusNotifierItem& self) { self.clicked(which, {x, y}); });
            return r;
        };
    };
    linuxos::ExportedObject item;
    item.path = kItemPath;
    item.interface = kItemInterface;
    item.properties = {
        {"Category", "s", text("ApplicationStatus")},
        {"Id", "s", text("noctave")},
        {"Title", "s", text("Noctave")},
        {"Status", "s", text("Active")},
        {"WindowId", "i", [](sd_bus_message* m) { return sd_bus_message_append(m, "i", 0); }},
        {"IconName", "s", text("")},
        {"IconPixmap", "a(iiay)",
         locked([](sd_bus_message* m, const Shared& s) { return appendPixmaps(m, s.icon); })},
        {"OverlayIconName", "s", text("")},
        {"AttentionIconName", "s", text("")},
        {"ToolTip", "(sa(iiay)ss)", locked([](sd_bus_message* m, const Shared& s) {
             int r = sd_bus_message_open_container(m, 'r', "sa(iiay)ss");
             r = r < 0 ? r : sd_bus_message_append(m, "s", "");
             r = r < 0 ? r : appendPixmaps(m, {});
             r = r < 0 ? r : sd_bus_message_append(m, "ss", s.toolTip.c_str(), "");
             return r < 0 ? r : sd_bus_message_close_container(m);
         })},
        {"ItemIsMenu", "b", locked([](sd_bus_message* m, const Shared& s) {
             return sd_bus_message_append(m, "b", static_cast<int>(s.itemIsMenu));
         })},
        {"Menu", "o", [](sd_bus_message* m) { return sd_bus_message_append(m, "o", kMenuPath); }},
    };
    item.methods = {
        {"ContextMenu", "ii", "", "x y", click(Click::right)},
        {"Activate", "ii", "", "x y", click(Click::left)},
        {"SecondaryActivate", "ii", "", "x y", click(Click::left)},
        {"Scroll", "is", "", "delta orientation",
         [](sd_bus_message* call) { return linuxos::DBusConnection::replyNow(call, {}); }},
    };
    item.emits = {
        {"NewTitle", "", ""},       {"NewIcon", "", ""},    {"NewAttentionIcon", "", ""},
        {"NewOverlayIcon", "", ""}, {"NewToolTip", "", ""}, {"NewStatus", "s", "status"},
    };
    item.deniedMessage = kDeniedMessage;
    return item;
}

StatusNotifierItem::StatusNotifierItem(Options options)
    : options_(std::move(options)), shared_(std::make_shared<Shared>()) {
    shared_->layout = menu_.layout();
    shared_->itemIsMenu = options_.hostShowsMenu;
    shared_->serviceName = nextServiceName();
    shared_->owner = weakFactory_.weak();
    start();
    standInTimer_ = runtime::Timer::oneShot(
        runtime::mainQueue(), options_.standInAfterSeconds, 0.5,
        runtime::bindWeak(weakFactory_.weak(),
                          [](StatusNotifierItem& self) { self.noWatcherFound(); }));
}

void StatusNotifierItem::noWatcherFound() {
    if (hasHost_) {
        return;
    }
    // Asked once here as well: the extension may own its name since before the watch began.
    if (!extensionServes_ && options_.bus &&
        options_.bus->nameHasOwner(linuxos::kGnomeExtensionBusName, 1.0).value_or(false)) {
        extensionChanged(true);
    }
    if (extensionServes_) {
        Log::info("no StatusNotifierWatcher; the GNOME Shell extension stands in for the tray");
        return;
    }
    // Asked only now: Qt picks the watcher over an embedding tray whenever a watcher runs.
    if (QGuiApplication::platformName() == QLatin1String("xcb") &&
        QSystemTrayIcon::isSystemTrayAvailable()) {
        Log::info("no StatusNotifierWatcher; the item goes into the X11 tray (XEmbed)");
        embedded_ = std::make_unique<QSystemTrayIcon>();
        QObject::connect(embedded_.get(), &QSystemTrayIcon::activated, embedded_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Context) {
                                 clicked(Click::right, {});
                             } else if (reason == QSystemTrayIcon::Trigger ||
                                        reason == QSystemTrayIcon::MiddleClick) {
                                 clicked(Click::left, {});
                             }
                         });
        embedded_->setToolTip(toolTip_);
        if (image_) {
            setImage(*image_);
        }
        embedded_->show();
        return;
    }
    Log::info(
        "no tray host runs (no StatusNotifierWatcher on the session bus); a window stands "
        "in for the tray");
    if (anotherWindowShown()) {
        // Never over a window in use (a key meant for it would land in the stand-in): it
        // comes once the last of them has closed.
        standInWait_ =
            QObject::connect(qGuiApp, &QGuiApplication::lastWindowClosed, qGuiApp, [this] {
                QObject::disconnect(standInWait_);
                showStandIn();
            });
        return;
    }
    showStandIn();
}

bool StatusNotifierItem::isEmbedded() const {
    return embedded_ != nullptr && embedded_->isVisible();
}

StatusNotifierItem::~StatusNotifierItem() {
    QObject::disconnect(standInWait_);
    embedded_.reset();
    delete popup_.data();
    delete standIn_.data();
    if (!options_.bus) {
        return;
    }
    // Nothing of the bus side runs after these, which wait for the connection's thread: a
    // watcher's late answer finds the item gone.
    shared_->alive = false;
    options_.bus->unsubscribe(watcherWatch_);
    options_.bus->unsubscribe(extensionWatch_);
    options_.bus->unexport(menuExport_);
    options_.bus->unexport(itemExport_);
    if (ownsName_) {
        options_.bus->releaseName(shared_->serviceName);
    }
}

const std::string& StatusNotifierItem::serviceName() const {
    return shared_->serviceName;
}

void StatusNotifierItem::start() {
    auto& bus = options_.bus;
    if (!bus) {
        return;
    }
    if (const auto opened = bus->open(kStartTimeoutSeconds); !opened.ok()) {
        Log::warn("no session bus for the tray item: " + opened.describe());
        return;
    }
    const auto shared = shared_;
    const auto owner = weakFactory_.weak();
    auto* connection = bus.get();

    itemExport_ = bus->exportObject(itemObject(shared_, owner), kStartTimeoutSeconds);

    dbusmenu::Owner menuOwner;
    menuOwner.layout = [shared] {
        const std::lock_guard lock(shared->mutex);
        return shared->layout;
    };
    menuOwner.clicked = [owner](int32_t id) {
        onMain(owner, [id](StatusNotifierItem& self) { self.menuEvent(id); });
    };
    menuOwner.aboutToShow = [owner](std::function<void(bool)> answer) {
        onMain(owner, [answer = std::move(answer)](StatusNotifierItem& self) {
            answer(self.refreshMenu());
        });
    };
    auto menu = dbusmenu::object(kMenuPath, bus, std::move(menuOwner));
    menu.goneMessage = kGoneMessage;
    menu.deniedMessage = kDeniedMessage;
    menuExport_ = bus->exportObject(std::move(menu), kStartTimeoutSeconds);
    if (itemExport_ == 0 || menuExport_ == 0) {
        Log::warn("could not export the tray item on the session bus");
        return;
    }
    const auto named = bus->requestName(shared_->serviceName, kStartTimeoutSeconds);
    if (!named.ok()) {
        Log::warn("could not take " + shared_->serviceName + ": " + named.describe());
        return;
    }
    ownsName_ = true;

    auto reportTo = [owner, shared](bool registered) {
        // A watcher's answer may come after the item went, as the process ends and its main
        // queue with it.
        if (shared->alive) {
            onMain(owner, [registered](StatusNotifierItem& self) { self.hostChanged(registered); });
        }
    };
    // A watcher that starts later (the panel after an autostarted Noctave) or again (a
    // restarted panel) has never heard of the item: it is told as soon as it takes the name.
    watcherWatch_ = bus->watchNameOwner(
        kWatcher,
        [connection, shared, reportTo](bool present) {
            if (!present) {
                reportTo(false);
                return;
            }
            connection->post([shared, reportTo](sd_bus* live) {
                registerWith(live, shared->serviceName, reportTo);
            });
        },
        kStartTimeoutSeconds);
    bus->post(
        [shared, reportTo](sd_bus* live) { registerWith(live, shared->serviceName, reportTo); });
    extensionWatch_ = bus->watchNameOwner(
        linuxos::kGnomeExtensionBusName,
        [owner, shared](bool serves) {
            if (shared->alive) {
                onMain(owner,
                       [serves](StatusNotifierItem& self) { self.extensionChanged(serves); });
            }
        },
        kStartTimeoutSeconds);
}

void StatusNotifierItem::extensionChanged(bool serves) {
    if (serves == extensionServes_) {
        return;
    }
    extensionServes_ = serves;
    if (!serves) {
        // Disabled for the lock screen as well: no window comes up for that.
        Log::info("the GNOME Shell extension went away");
        return;
    }
    Log::info("the GNOME Shell extension serves Noctave in Quick Settings");
    QObject::disconnect(standInWait_);
    if (standIn_) {
        standIn_->close();
    }
}

void StatusNotifierItem::hostChanged(bool registered) {
    if (registered == hasHost_) {
        return;
    }
    hasHost_ = registered;
    if (!registered) {
        Log::info("the tray's StatusNotifierWatcher went away");
        return;
    }
    Log::info("tray item registered with the StatusNotifierWatcher");
    standInTimer_.reset();
    QObject::disconnect(standInWait_);
    embedded_.reset();
    if (standIn_) {
        standIn_->close();
    }
}

void StatusNotifierItem::setImage(const MenuBarIcon::Image& image) {
    image_ = image;
    if (embedded_) {
        QIcon icon;
        for (const int edge : kIconEdges) {
            icon.addPixmap(QPixmap::fromImage(drawn(image, edge)));
        }
        embedded_->setIcon(icon);
    }
    auto pixmaps = pixmapsOf(image);
    {
        const std::lock_guard lock(shared_->mutex);
        if (pixmaps == shared_->icon) {
            return;
        }
        shared_->icon = std::move(pixmaps);
    }
    if (options_.bus) {
        options_.bus->emitSignal({"", kItemPath, kItemInterface, "NewIcon"}, {});
    }
}

void StatusNotifierItem::setToolTip(const QString& text) {
    toolTip_ = text;
    if (embedded_) {
        embedded_->setToolTip(text);
    }
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->toolTip = text.toStdString();
    }
    if (options_.bus) {
        options_.bus->emitSignal({"", kItemPath, kItemInterface, "NewToolTip"}, {});
    }
}

void StatusNotifierItem::clicked(Click click, QPoint at) {
    lastClick_ = at;
    hasClickPoint_ = !at.isNull();
    if (click == Click::left &&
        QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier)) {
        click = Click::right;
    }
    if (onClick) {
        onClick(click);
    }
}

void StatusNotifierItem::popUpMenu(const std::vector<MenuEntry>& entries) {
    if (options_.hostShowsMenu) {
        // Only the panel can place a menu at the item: it is asked to open the exported one.
        if (menu_.update(entries)) {
            publishLayout();
        }
        if (options_.bus) {
            options_.bus->emitSignal(
                {"", kMenuPath, dbusmenu::kInterface, "ItemActivationRequested"},
                [](sd_bus_message* m) { return sd_bus_message_append(m, "iu", 0, 0U); });
        }
        return;
    }
    delete popup_.data();
    auto* menu = new QMenu;
    addMenuEntries(*menu, entries);
    // Gone once closed, however it closed (an entry chosen, Escape, a click elsewhere); later,
    // as the chosen entry's action runs from it.
    QObject::connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    popup_ = menu;
    // Shown without waiting for it to close: the event loop goes on, and so does the bus.
    menu->popup(hasClickPoint_ ? lastClick_ : QCursor::pos());
}

bool StatusNotifierItem::refreshMenu() {
    if (!menuEntries || !menu_.update(menuEntries())) {
        return false;
    }
    publishLayout();
    return true;
}

void StatusNotifierItem::publishLayout() {
    const auto layout = menu_.layout();
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->layout = layout;
    }
    if (options_.bus) {
        options_.bus->emitSignal({"", kMenuPath, dbusmenu::kInterface, "LayoutUpdated"},
                                 [revision = layout->revision](sd_bus_message* m) {
                                     return sd_bus_message_append(m, "ui", revision, 0);
                                 });
    }
}

void StatusNotifierItem::menuChanged() {
    refreshMenu();
    if (standIn_) {
        standIn_->refresh();
    }
}

void StatusNotifierItem::menuEvent(int32_t id) {
    if (!menu_.trigger(id)) {
        Log::debug("tray menu: no entry " + std::to_string(id) + " to run");
        return;
    }
    menuChanged();
}

bool StatusNotifierItem::showStandIn() {
    if (hasHost_ || isEmbedded() || extensionServes_) {
        return false;
    }
    if (!standIn_) {
        auto* window = new TraylessWindow(
            [this] { return menuEntries ? menuEntries() : std::vector<MenuEntry>{}; },
            [this] { return toolTip_; });
        window->setAttribute(Qt::WA_DeleteOnClose);
        standIn_ = window;
    } else {
        standIn_->refresh();
    }
    standIn_->show();
    standIn_->raise();
    standIn_->activateWindow();
    return true;
}

}  // namespace noctave::app
