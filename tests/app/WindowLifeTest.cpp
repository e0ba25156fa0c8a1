// The windows a person closes are deleted and their memory handed back: the delegate's settings
// and first-run onboarding, and the rule that decides which mapped pages may be dropped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>

#include <QKeyEvent>
#include <QPointer>
#include <QWidget>

#include "app/WindowMemory.hpp"
#include "app/onboarding/OnboardingKeyboardView.hpp"
#include "app/onboarding/OnboardingWindowController.hpp"
#include "app/settings/SettingsWindowController.hpp"
#include "core/support/Prefs.hpp"
#include "tests/support/DelegateTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

using app::WindowMemory::Mapping;

class WindowLifeTest : public DelegateTest {
  protected:
    // The settings window as the menu opens it, shown.
    QWidget* openSettings() {
        delegate->openSettings();
        runUntilIdle();
        return delegate->settings()->window();
    }
};

TEST_F(WindowLifeTest, ClosingTheSettingsDeletesThemAndTheNextOpenMakesThemAnew) {
    Prefs::setHasSeenOnboarding(true);
    launch();
    QPointer<QWidget> first = openSettings();
    ASSERT_TRUE(first->isVisible());
    delegate->settings()->select(app::SettingsWindowController::Tab::about);

    const int trims = app::WindowMemory::trimCount();
    first->close();
    runUntilIdle();
    EXPECT_EQ(delegate->settings(), nullptr);
    EXPECT_TRUE(first.isNull());  // the widgets went with the controller
    advance(app::WindowMemory::kSettleSeconds);
    EXPECT_EQ(app::WindowMemory::trimCount(), trims + 1);

    // Made anew, on the tab the person left it at.
    QWidget* second = openSettings();
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(delegate->settings()->current(), app::SettingsWindowController::Tab::about);
}

TEST_F(WindowLifeTest, AWindowShownAgainOrHiddenForTheOnboardingIsKept) {
    Prefs::setHasSeenOnboarding(true);
    launch();
    QPointer<QWidget> window = openSettings();

    // Closed, then opened from the menu before the deletion came round.
    window->close();
    delegate->openSettings();
    runUntilIdle();
    ASSERT_FALSE(window.isNull());
    EXPECT_TRUE(window->isVisible());

    // Hidden while its onboarding replays; closed by hand meanwhile (from the menu it was shown
    // again): the onboarding still needs it to come back to.
    ASSERT_TRUE(delegate->settings()->showOnboarding(1));
    EXPECT_FALSE(window->isVisible());
    delegate->openSettings();
    window->close();
    runUntilIdle();
    ASSERT_NE(delegate->settings(), nullptr);
    EXPECT_TRUE(delegate->settings()->isShowingOnboarding());
}

TEST_F(WindowLifeTest, TheFirstRunOnboardingIsDeletedOnceLeftWhicheverWay) {
    for (const bool byEscape : {false, true}) {
        SCOPED_TRACE(byEscape ? "Escape" : "close button");
        Prefs::setHasSeenOnboarding(false);
        launch();
        ASSERT_NE(delegate->onboarding(), nullptr);
        QPointer<QWidget> window = delegate->onboarding()->window();
        ASSERT_TRUE(window->isVisible());
        if (byEscape) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(delegate->onboarding()->keyboardView(), &escape);
        } else {
            window->close();
        }
        runUntilIdle();
        EXPECT_EQ(delegate->onboarding(), nullptr);
        EXPECT_TRUE(window.isNull());
        delegate.reset();
    }
}

TEST(WindowMemoryTest, OnlyUnwrittenReadOnlyPagesOfFilesOnDiskMayBeDropped) {
    std::istringstream smaps(
        "55d0c0000000-55d0c0200000 r-xp 00002000 08:01 123 /usr/lib/libQt6Widgets.so.6\n"
        "Rss:                 800 kB\n"
        "Anonymous:             0 kB\n"
        "55d0c0200000-55d0c0210000 r--p 00202000 08:01 123 /usr/lib/libQt6Widgets.so.6\n"
        "Anonymous:            64 kB\n"
        "55d0c0210000-55d0c0212000 rw-p 00212000 08:01 123 /usr/lib/libQt6Widgets.so.6\n"
        "Anonymous:             0 kB\n"
        "7f0000000000-7f0000100000 r--p 00000000 08:01 77 /usr/share/fonts/Sans Bold.ttf\n"
        "Anonymous:             0 kB\n"
        "7f0000100000-7f0000200000 r--p 00000000 00:05 9 /dev/dri/card0\n"
        "Anonymous:             0 kB\n"
        "7f0000200000-7f0000300000 r--p 00000000 00:01 8 /memfd:wayland-shm (deleted)\n"
        "Anonymous:             0 kB\n"
        "7f0000300000-7f0000400000 r--p 00000000 00:00 0 \n"
        "Anonymous:             0 kB\n"
        "55d0c1000000-55d0c1400000 rw-p 00000000 00:00 0 [heap]\n"
        "Anonymous:          4096 kB\n");
    const auto mappings = app::WindowMemory::readMappings(smaps);
    ASSERT_EQ(mappings.size(), 8u);
    EXPECT_EQ(mappings[0].start, 0x55d0c0000000u);
    EXPECT_EQ(mappings[0].end, 0x55d0c0200000u);
    EXPECT_EQ(mappings[3].path, "/usr/share/fonts/Sans Bold.ttf");  // a space in the name
    EXPECT_EQ(mappings[1].anonymousKiB, 64u);
    std::vector<bool> droppable;
    for (const Mapping& mapping : mappings) {
        droppable.push_back(app::WindowMemory::mayDropPages(mapping));
    }
    // Code and fonts yes; relocated (written) read-only data, writable data, devices, deleted
    // files and anonymous memory never.
    EXPECT_EQ(droppable, (std::vector<bool>{true, false, false, true, false, false, false, false}));
}

// The rule against this process's own map: a private file mapping that was written and made
// read-only again (as the loader does with relocated data) must keep its bytes.
TEST(WindowMemoryTest, AWrittenPrivateMappingIsKeptAndAnUnwrittenOneReadsBackTheFile) {
    TempDir temp;
    const auto file = temp.path() / "pages";
    const long page = ::sysconf(_SC_PAGESIZE);
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(static_cast<std::size_t>(2 * page), 'f');
    }
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto length = static_cast<std::size_t>(2 * page);
    auto* clean = static_cast<char*>(::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0));
    auto* written =
        static_cast<char*>(::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    ::close(fd);
    ASSERT_NE(clean, MAP_FAILED);
    ASSERT_NE(written, MAP_FAILED);
    written[0] = 'w';
    ASSERT_EQ(::mprotect(written, length, PROT_READ), 0);
    volatile char touched = clean[0];
    (void)touched;

    std::ifstream smaps("/proc/self/smaps");
    std::optional<bool> cleanDroppable, writtenDroppable;
    for (const Mapping& mapping : app::WindowMemory::readMappings(smaps)) {
        if (mapping.start == reinterpret_cast<uintptr_t>(clean)) {
            cleanDroppable = app::WindowMemory::mayDropPages(mapping);
        }
        if (mapping.start == reinterpret_cast<uintptr_t>(written)) {
            writtenDroppable = app::WindowMemory::mayDropPages(mapping);
        }
    }
    ASSERT_TRUE(cleanDroppable.has_value());
    ASSERT_TRUE(writtenDroppable.has_value());
    EXPECT_TRUE(*cleanDroppable);
    EXPECT_FALSE(*writtenDroppable);
    // Dropped, the clean mapping reads the file again.
    ASSERT_EQ(::madvise(clean, length, MADV_DONTNEED), 0);
    EXPECT_EQ(clean[page], 'f');
    EXPECT_EQ(written[0], 'w');
    ::munmap(clean, length);
    ::munmap(written, length);
}

}  // namespace
}  // namespace noctave::test
