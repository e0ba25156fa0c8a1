// The control interface's logic on the virtual laptop, in virtual time: holds against the
// session engine, every end of a session, and the answers a script gets.
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/control/ControlModel.hpp"
#include "core/support/Prefs.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

using control::Outcome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ControlModelTest : public SimTest {
  protected:
    ControlModelTest() {
        session = std::make_unique<SessionController>();
        model = std::make_unique<control::ControlModel>(*session);
        // Wired as the application's delegate wires it: state changes and notices forwarded.
        session->onStateChange = [this](SessionController::State) { model->sessionStateChanged(); };
        session->onNotice = [this](const std::string& title, const std::string& body) {
            model->noteNotice(title, body);
            alerts.push_back(title);
            answeredBeforeAlert.push_back(lastAnswer.has_value());
        };
        model->onChange = [this](const control::Status&, unsigned changed) {
            changes.push_back(changed);
        };
        runUntilIdle();
    }

    sim::SimPower& power() { return laptop.power(); }

    // The reply a request got; "" for success, else its error name.
    template <class Request>
    std::string ask(Request request) {
        lastAnswer.reset();
        int answers = 0;
        request([this, &answers](const Outcome& outcome) {
            ++answers;
            lastAnswer = outcome;
        });
        EXPECT_EQ(answers, 1) << "every request is answered exactly once";
        runUntilIdle();
        return lastAnswer ? lastAnswer->errorName : "no answer";
    }
    uint32_t hold(const std::string& reason, const std::string& owner) {
        EXPECT_EQ(ask([&](auto reply) { model->hold(reason, owner, reply); }), "");
        return lastAnswer ? lastAnswer->id : 0;
    }
    std::string release(uint32_t id, const std::string& owner) {
        return ask([&](auto reply) { model->release(id, owner, reply); });
    }
    std::vector<uint32_t> holdIds() {
        std::vector<uint32_t> ids;
        for (const auto& hold : model->status().holds) {
            ids.push_back(hold.id);
        }
        return ids;
    }
    const control::LastDisarm& lastDisarm() { return model->status().lastDisarm; }

    std::unique_ptr<SessionController> session;
    std::unique_ptr<control::ControlModel> model;
    std::optional<Outcome> lastAnswer;
    std::vector<std::string> alerts;
    std::vector<bool> answeredBeforeAlert;
    std::vector<unsigned> changes;
};

TEST_F(ControlModelTest, HoldsAreCountedAndTheLastOneEndingDisarmsTheSessionTheyArmed) {
    const uint32_t build = hold("make -j8", ":1.7");
    EXPECT_EQ(session->state(), SessionController::State::armed);
    EXPECT_TRUE(power().kernelFlag());
    EXPECT_TRUE(log.contains("armed (dbus)"));
    const uint32_t download = hold("wget image", ":1.8");
    EXPECT_NE(build, download);
    EXPECT_EQ(model->status().state, "armed");

    EXPECT_EQ(release(build, ":1.7"), "");
    EXPECT_THAT(holdIds(), ElementsAre(download));
    EXPECT_TRUE(power().kernelFlag()) << "one hold still stands";

    EXPECT_EQ(release(download, ":1.8"), "");
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
    EXPECT_FALSE(power().kernelFlag());
    EXPECT_EQ(lastDisarm().reason, "dbus: last hold ended");
    EXPECT_EQ(model->status().state, "disarmed");
    EXPECT_TRUE(changes.back() & (control::kState | control::kLastDisarm | control::kHolds));
}

TEST_F(ControlModelTest, ASessionTheUserArmedOutlivesTheHoldsPlacedOnIt) {
    session->arm("menu");
    hold("backup", ":1.3");
    EXPECT_EQ(release(1, ":1.3"), "");
    EXPECT_EQ(session->state(), SessionController::State::armed);
    EXPECT_TRUE(power().kernelFlag());
}

TEST_F(ControlModelTest, OpeningTheLidKeepsAHeldSessionAndReleasingAppliesTheOpening) {
    // The user's own session, which opening the lid ends (stayOnAfterOpeningLid is off).
    session->arm("menu");
    const uint32_t id = hold("agent run", ":1.4");
    power().closeLid();
    runUntilIdle();
    EXPECT_TRUE(model->status().lidClosed);
    power().openLid();
    runUntilIdle();
    EXPECT_EQ(session->state(), SessionController::State::armed);
    EXPECT_TRUE(log.contains("lid opened; session held"));
    EXPECT_FALSE(model->status().lidClosed);

    EXPECT_EQ(release(id, ":1.4"), "");
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
    EXPECT_EQ(lastDisarm().reason, "lid-open");
}

TEST_F(ControlModelTest, AMenuDisarmEndsEveryHold) {
    hold("build", ":1.5");
    hold("test", ":1.6");
    session->disarm("menu");
    runUntilIdle();
    EXPECT_THAT(holdIds(), IsEmpty());
    EXPECT_EQ(lastDisarm().reason, "menu");
    EXPECT_EQ(lastDisarm().notice, "");
    EXPECT_TRUE(log.contains("hold 1 ended with the session (menu)"));
    // The owners' releases that follow are answered, and change nothing.
    EXPECT_EQ(release(1, ":1.5"), control::kErrorNoSuchHold);
    model->ownerVanished(":1.6");
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
}

TEST_F(ControlModelTest, LowBatteryDisarmsUnderHoldsAndLastDisarmTellsWhy) {
    power().setOnBattery(true);
    power().setBatteryPercent(60);
    runUntilIdle();
    hold("render", ":1.9");
    EXPECT_TRUE(model->status().onBattery);
    EXPECT_EQ(model->status().batteryPercent, 60);

    power().setBatteryPercent(15);
    runUntilIdle();
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
    EXPECT_THAT(holdIds(), IsEmpty());
    EXPECT_EQ(model->status().batteryPercent, 15);
    EXPECT_EQ(lastDisarm().reason, "low-battery");
    EXPECT_EQ(lastDisarm().notice,
              "Noctave disarmed: Battery dropped to 15%. Your Mac can sleep instead of running "
              "flat.");
    EXPECT_GT(lastDisarm().timeUsec, 0u);

    // A later notice that is about something else is not taken for the disarm's.
    advance(1);
    model->noteNotice("There\u2019s a newer Noctave", "...");
    EXPECT_EQ(lastDisarm().reason, "low-battery");
    EXPECT_THAT(lastDisarm().notice, ::testing::StartsWith("Noctave disarmed: Battery"));
}

TEST_F(ControlModelTest, AVanishedClientLosesOnlyItsOwnHolds) {
    hold("one", ":1.10");
    hold("two", ":1.10");
    const uint32_t other = hold("three", ":1.11");
    model->ownerVanished(":1.10");
    EXPECT_THAT(holdIds(), ElementsAre(other));
    EXPECT_EQ(session->state(), SessionController::State::armed);
    model->ownerVanished(":1.11");
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
    EXPECT_TRUE(log.contains("hold 3 dropped (its client went away)"));
}

TEST_F(ControlModelTest, ARefusedArmIsAnsweredBeforeItsAlertAndPlacesNoHold) {
    power().setRefuseFlag(true);
    EXPECT_EQ(ask([&](auto reply) { model->hold("job", ":1.12", reply); }), control::kErrorRefused);
    EXPECT_EQ(lastAnswer->message, "Could not change the Mac's sleep setting. Try again.");
    ASSERT_THAT(alerts, ElementsAre("Could not change the Mac's sleep setting"));
    EXPECT_THAT(answeredBeforeAlert, ElementsAre(true)) << "a script must not wait on a dialog";
    EXPECT_THAT(holdIds(), IsEmpty());

    EXPECT_EQ(ask([&](auto reply) { model->arm(reply); }), control::kErrorRefused);
    EXPECT_EQ(session->state(), SessionController::State::disarmed);
}

TEST_F(ControlModelTest, BadRequestsGetErrorsThatSayWhat) {
    struct Case {
        std::string reason;
        const char* message;
    };
    const Case cases[] = {
        {std::string(201, 'x'), "reason is longer than 200 characters"},
        {"line\nbreak", "reason must be printable text (no control characters)"},
        {"bell\a", "reason must be printable text (no control characters)"},
        {"\xe2\x80\xae"
         "evil",
         "reason must be printable text (no control characters)"},
        {"\xff\xfe", "reason is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask([&](auto reply) { model->hold(c.reason, ":1.13", reply); }),
                  control::kErrorInvalidArgs);
        EXPECT_EQ(lastAnswer->message, c.message);
    }
    EXPECT_EQ(session->state(), SessionController::State::disarmed) << "nothing was armed";
    // 200 characters of non-ASCII text are fine.
    std::string accents;
    for (int i = 0; i < 200; ++i) {
        accents += "\xc3\xa9";
    }
    const uint32_t id = hold(accents, ":1.13");

    EXPECT_EQ(release(id + 100, ":1.13"), control::kErrorNoSuchHold);
    EXPECT_EQ(release(id, ":1.14"), control::kErrorAccessDenied);
    for (std::size_t i = 1; i < control::kMaxHolds; ++i) {
        hold("many", ":1.13");
    }
    EXPECT_EQ(ask([&](auto reply) { model->hold("one more", ":1.13", reply); }),
              control::kErrorLimitsExceeded);
}

TEST_F(ControlModelTest, KeepAwakeFollowsTheRequestAndReportsARefusal) {
    EXPECT_EQ(ask([&](auto reply) { model->setKeepAwake(true, reply); }), "");
    EXPECT_TRUE(model->status().keepAwake);
    EXPECT_TRUE(Prefs::keepAwake());
    EXPECT_TRUE(changes.back() & control::kKeepAwake);
    EXPECT_EQ(ask([&](auto reply) { model->setKeepAwake(false, reply); }), "");
    EXPECT_FALSE(model->status().keepAwake);

    power().setAssertionPolicy(sim::SimPower::AssertionPolicy::refuseAll);
    EXPECT_EQ(ask([&](auto reply) { model->setKeepAwake(true, reply); }), control::kErrorRefused);
    EXPECT_FALSE(model->status().keepAwake);
}

uint64_t usecFromNow(double seconds) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        runtime::clock().wall().time_since_epoch());
    return static_cast<uint64_t>(now.count() + static_cast<int64_t>(seconds * 1e6));
}

TEST_F(ControlModelTest, TimedSessionShowsItsDeadlineAndEndsWithTimeIsUp) {
    EXPECT_EQ(ask([&](auto reply) { model->armUntil(usecFromNow(0), reply); }),
              control::kErrorInvalidArgs);
    EXPECT_EQ(ask([&](auto reply) { model->armUntil(usecFromNow(8 * 24 * 3600.0), reply); }),
              control::kErrorInvalidArgs);
    EXPECT_EQ(session->state(), SessionController::State::disarmed);

    const uint64_t deadline = usecFromNow(2 * 3600.0);
    EXPECT_EQ(ask([&](auto reply) { model->armUntil(deadline, reply); }), "");
    EXPECT_EQ(model->status().state, "armed");
    EXPECT_EQ(model->status().deadlineUsec, deadline);

    advance(2 * 3600.0);
    EXPECT_EQ(model->status().state, "disarmed");
    EXPECT_EQ(model->status().deadlineUsec, 0u);
    EXPECT_EQ(lastDisarm().reason, "time is up");
    const auto history = nlohmann::json::parse(model->historyJson());
    EXPECT_EQ(history["sessions"].back()["reason"], "time is up");
    EXPECT_EQ(history["sessions"].back()["source"], "dbus");
}

TEST_F(ControlModelTest, TimedKeepAwakeIsReplacedByAPlainSwitch) {
    const uint64_t until = usecFromNow(1800.0);
    EXPECT_EQ(ask([&](auto reply) { model->keepAwakeUntil(until, reply); }), "");
    EXPECT_TRUE(model->status().keepAwake);
    EXPECT_EQ(model->status().keepAwakeUntilUsec, until);

    EXPECT_EQ(ask([&](auto reply) { model->setKeepAwake(false, reply); }), "");
    EXPECT_FALSE(model->status().keepAwake);
    EXPECT_EQ(model->status().keepAwakeUntilUsec, 0u);
    advance(1800.0);
    EXPECT_FALSE(log.contains("keep-awake ends (time is up)"));
}

}  // namespace
}  // namespace noctave::test
