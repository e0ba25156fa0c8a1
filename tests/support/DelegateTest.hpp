#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/AppDelegate.hpp"
#include "app/tray/Alerts.hpp"
#include "core/session/SessionController.hpp"
#include "tests/app/ShellTest.hpp"
#include "tests/support/FakeStatusItem.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {

// The application's delegate on the virtual laptop, offscreen: its tray a FakeStatusItem, its
// alerts answered with `answer` and kept, its terminations counted and its opened addresses
// kept instead of done.
class DelegateTest : public SimTest {
  protected:
    using State = SessionController::State;
    using Click = app::StatusItem::Click;
    using Adjust = std::function<void(app::AppDelegate::Options&)>;

    DelegateTest() {
        ensureApplication();
        app::Alerts::setPresenter([this](const app::Alert& alert) {
            alerts.push_back(alert);
            return answer;
        });
    }
    ~DelegateTest() override {
        delegate.reset();
        app::Alerts::setPresenter(nullptr);
    }

    // Up to the end of the launch handler, before the loop turns again; `adjust` changes the
    // options first.
    void startLaunch(const Adjust& adjust = {}) {
        app::AppDelegate::Options options;
        options.makeStatusItem = [this] {
            auto item = std::make_unique<FakeStatusItem>();
            tray = item.get();
            return item;
        };
        options.terminate = [this] { ++terminations; };
        options.openURL = [this](const std::string& url) { openedURLs.push_back(url); };
        if (adjust) {
            adjust(options);
        }
        delegate = std::make_unique<app::AppDelegate>(std::move(options));
        delegate->applicationDidFinishLaunching();
    }
    void launch(const Adjust& adjust = {}) {
        startLaunch(adjust);
        runUntilIdle();
    }

    State state() { return delegate->session()->state(); }
    void click(Click click) {
        delegate->statusItem()->onClick(click);
        runUntilIdle();
    }

    std::vector<app::Alert> alerts;
    int answer = 0;
    FakeStatusItem* tray = nullptr;  // owned by the delegate
    int terminations = 0;
    std::vector<std::string> openedURLs;
    std::unique_ptr<app::AppDelegate> delegate;
};

}  // namespace noctave::test
