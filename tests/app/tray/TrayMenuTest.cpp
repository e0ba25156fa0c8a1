#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "app/tray/DBusMenu.hpp"
#include "app/tray/TraylessWindow.hpp"
#include "tests/app/ShellTest.hpp"

namespace noctave::test {
namespace {

using app::MenuEntry;

MenuEntry action(const char* title, std::function<void()> run = {}) {
    return MenuEntry{MenuEntry::Kind::action, QString::fromUtf8(title), {}, false, std::move(run)};
}

// The node under the root at `index`, skipping nothing.
const app::DBusMenuNode& child(const app::DBusMenuLayout& layout, size_t index, size_t parent = 0) {
    return layout.nodes.at(layout.nodes.at(parent).children.at(index));
}

TEST(DBusMenuModel, KeepsIdsWhileTheMenuStaysAndRetiresThemWhenItChanges) {
    app::DBusMenuModel model;
    std::vector<std::string> ran;
    auto menu = [&ran](const char* first, const char* tag) {
        return std::vector<MenuEntry>{
            action(first, [&ran, tag] { ran.push_back(tag); }),
            MenuEntry::separator(),
            action("Quit Noctave", [&ran] { ran.push_back("quit"); }),
        };
    };
    ASSERT_TRUE(model.update(menu("Arm for Next Close", "old")));
    const auto first = model.layout();
    EXPECT_EQ(first->revision, 1U);
    const int32_t armId = child(*first, 0).id;

    // Built again for a click with nothing changed: the host's ids still name the same
    // entries, and they run the newest actions.
    EXPECT_FALSE(model.update(menu("Arm for Next Close", "new")));
    EXPECT_EQ(model.layout()->revision, 1U);
    EXPECT_EQ(child(*model.layout(), 0).id, armId);
    EXPECT_TRUE(model.trigger(armId));
    EXPECT_EQ(ran, std::vector<std::string>{"new"});

    // Armed: the first entry reads otherwise. A click the host sends for the old layout must
    // not run whatever took the old entry's place.
    ASSERT_TRUE(model.update(menu("Disarm", "disarm")));
    EXPECT_EQ(model.layout()->revision, 2U);
    EXPECT_FALSE(model.trigger(armId));
    EXPECT_EQ(child(*model.layout(), 0).label, "Disarm");
    EXPECT_TRUE(model.trigger(child(*model.layout(), 0).id));
    EXPECT_EQ(ran, (std::vector<std::string>{"new", "disarm"}));
    EXPECT_EQ(model.layout()->find(armId), nullptr);
}

TEST(DBusMenuModel, AnActionThatRebuildsTheMenuFinishesWithItsOwnState) {
    app::DBusMenuModel model;
    std::string said;
    const std::string words(64, 'k');  // on the heap, where a freed action's copy would be
    model.update({action("Keep Awake (lid open)", [&model, &said, words] {
        model.update({action("Keep Awake (lid open) on")});
        said = words;
    })});
    EXPECT_TRUE(model.trigger(child(*model.layout(), 0).id));
    EXPECT_EQ(said, words);
}

TEST(DBusMenuModel, RunsOnlyEntriesThatAreActions) {
    app::DBusMenuModel model;
    int hours = 0;
    int updates = 0;
    MenuEntry timed = action("Arm For");
    timed.submenu = {action("1 hour", [&hours] { ++hours; })};
    MenuEntry checking = action("Checking for Updates\u2026", [&updates] { ++updates; });
    checking.isEnabled = false;
    model.update({timed, MenuEntry::separator(), checking});
    const auto layout = model.layout();

    const auto& submenu = child(*layout, 0);
    ASSERT_EQ(submenu.children.size(), 1U);
    EXPECT_FALSE(model.trigger(submenu.id));
    EXPECT_TRUE(model.trigger(layout->nodes.at(submenu.children[0]).id));
    EXPECT_FALSE(model.trigger(child(*layout, 1).id));  // the separator
    EXPECT_TRUE(child(*layout, 1).isSeparator);
    EXPECT_FALSE(child(*layout, 2).isEnabled);
    EXPECT_FALSE(model.trigger(child(*layout, 2).id));
    EXPECT_FALSE(model.trigger(0));  // the root
    EXPECT_EQ(hours, 1);
    EXPECT_EQ(updates, 0);
}

TEST(DBusMenuModel, DescribesSwitchesMnemonicsAndShortcutsAsHostsReadThem) {
    app::DBusMenuModel model;
    MenuEntry keepAwake = action("Keep Awake (lid open)");
    keepAwake.isCheckable = true;
    MenuEntry quit = action("Quit_Now");
    quit.keyEquivalent = QKeySequence(Qt::CTRL | Qt::Key_Q);
    MenuEntry settings = action("Settings...");
    settings.keyEquivalent = QKeySequence(Qt::CTRL | Qt::Key_Comma);
    MenuEntry zoom = action("Zoom");
    zoom.keyEquivalent = QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Plus);
    model.update({keepAwake, quit, settings, zoom});
    const auto layout = model.layout();

    EXPECT_TRUE(child(*layout, 0).isCheckable);  // announced as a switch while off
    EXPECT_FALSE(child(*layout, 0).isChecked);
    EXPECT_EQ(child(*layout, 1).label, "Quit__Now");  // not a mnemonic for N
    using Chords = std::vector<std::vector<std::string>>;
    EXPECT_EQ(child(*layout, 1).shortcut, (Chords{{"Control", "Q"}}));
    EXPECT_EQ(child(*layout, 2).shortcut, (Chords{{"Control", ","}}));
    EXPECT_EQ(child(*layout, 3).shortcut, (Chords{{"Control", "Shift", "+"}}));
    EXPECT_TRUE(child(*layout, 0).shortcut.empty());

    keepAwake.isChecked = true;
    EXPECT_TRUE(model.update({keepAwake, quit, settings, zoom}));  // a check mark is a change
    EXPECT_TRUE(child(*model.layout(), 0).isChecked);
}

// The window standing in for the tray, offscreen, over a menu whose state lives here.
class TraylessWindowTest : public ::testing::Test {
  protected:
    TraylessWindowTest() { ensureApplication(); }

    std::vector<MenuEntry> menu() {
        MenuEntry keepAwake =
            action("Keep Awake (lid open)", [this] { keepAwakeOn = !keepAwakeOn; });
        keepAwake.isCheckable = true;
        keepAwake.isChecked = keepAwakeOn;
        MenuEntry timed = action("Arm For");
        timed.submenu = {action("1 hour", [this] { armed = true; })};
        MenuEntry checking = action("Checking for Updates\u2026");
        checking.isEnabled = false;
        std::vector<MenuEntry> entries{
            action(armed ? "Disarm" : "Arm for Next Close", [this] { armed = !armed; })};
        if (!armed) {
            entries.push_back(timed);
        }
        entries.insert(entries.end(), {keepAwake, MenuEntry::separator(), checking,
                                       MenuEntry::separator(), action("Quit Noctave")});
        return entries;
    }

    QStringList shown(QWidget& window) {
        QStringList texts;
        for (QWidget* widget : window.findChildren<QWidget*>()) {
            if (!widget->isVisibleTo(&window)) {
                continue;
            }
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                texts << button->text();
            } else if (auto* line = qobject_cast<QFrame*>(widget);
                       line != nullptr && line->frameShape() == QFrame::HLine) {
                texts << QStringLiteral("--");
            }
        }
        return texts;
    }

    template <class T>
    T* find(QWidget& window, const QString& text) {
        for (T* widget : window.findChildren<T*>()) {
            if (widget->text() == text && widget->isVisibleTo(&window)) {
                return widget;
            }
        }
        return nullptr;
    }

    bool armed = false;
    bool keepAwakeOn = false;
};

TEST_F(TraylessWindowTest, OffersTheMenusEntriesInOrderAndShowsWhatEachChangedOnceItRan) {
    app::TraylessWindow window([this] { return menu(); },
                               [] { return QStringLiteral("Noctave - ready (not active)"); });
    window.show();
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("state"))->text(),
              QStringLiteral("Noctave - ready (not active)"));
    EXPECT_EQ(shown(window),
              (QStringList{"Arm for Next Close", "Arm For", "Keep Awake (lid open)", "--",
                           QString::fromUtf8("Checking for Updates\u2026"), "--", "Quit Noctave"}));
    EXPECT_FALSE(find<QCheckBox>(window, "Keep Awake (lid open)")->isChecked());
    EXPECT_FALSE(
        find<QPushButton>(window, QString::fromUtf8("Checking for Updates\u2026"))->isEnabled());
    QMenu* timed = find<QPushButton>(window, "Arm For")->menu();
    ASSERT_NE(timed, nullptr);
    ASSERT_EQ(timed->actions().size(), 1);
    EXPECT_EQ(timed->actions()[0]->text(), QStringLiteral("1 hour"));

    // Each entry, once it ran, shows what it changed.
    find<QPushButton>(window, "Arm for Next Close")->click();
    EXPECT_TRUE(armed);
    ASSERT_TRUE(spinUntil([&] { return find<QPushButton>(window, "Disarm") != nullptr; }));
    EXPECT_EQ(find<QPushButton>(window, "Arm For"), nullptr);

    find<QCheckBox>(window, "Keep Awake (lid open)")->click();
    EXPECT_TRUE(keepAwakeOn);
    ASSERT_TRUE(spinUntil([&] {
        auto* box = find<QCheckBox>(window, "Keep Awake (lid open)");
        return box != nullptr && box->isChecked();
    }));

    // From the submenu, after disarming again.
    find<QPushButton>(window, "Disarm")->click();
    ASSERT_TRUE(spinUntil([&] { return find<QPushButton>(window, "Arm For") != nullptr; }));
    find<QPushButton>(window, "Arm For")->menu()->actions()[0]->trigger();
    EXPECT_TRUE(armed);
    EXPECT_TRUE(spinUntil([&] { return find<QPushButton>(window, "Disarm") != nullptr; }));
}

}  // namespace
}  // namespace noctave::test
