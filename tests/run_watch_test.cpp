// Run control as the driver waits on it, and the watch both faces run: the options it builds, its
// proxy check, restarts, pauses, stops and its hand-over of events, with real runs against the
// portal replica and the recorded report as the face.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "run/RunControl.h"

namespace {

using namespace std::chrono_literals;

// WaitWhileHeld on a thread of its own; ready() once it has returned.
class HeldWaiter {
public:
    explicit HeldWaiter(RunControl& control)
        : done_(std::async(std::launch::async, [&control] { control.WaitWhileHeld(); })) {}
    bool returnsWithin(std::chrono::milliseconds ms) {
        return done_.wait_for(ms) == std::future_status::ready;
    }

private:
    std::future<void> done_;
};

TEST(RunControlTest, HoldWaitsUntilContinuedAndWakesAnIdleDriver) {
    RunControl control;
    auto wake = std::make_shared<WakeSignal>();
    control.SetWake(wake);
    control.Hold();
    EXPECT_TRUE(control.Held());
    EXPECT_EQ(wake->Count(), 1u);
    HeldWaiter waiter(control);
    EXPECT_FALSE(waiter.returnsWithin(100ms));
    control.Continue();
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_FALSE(control.Held());
    EXPECT_EQ(wake->Count(), 2u);
}

TEST(RunControlTest, TerminateReleasesAHoldAndNoHoldFollowsIt) {
    RunControl control;
    auto wake = std::make_shared<WakeSignal>();
    control.SetWake(wake);
    control.Hold();
    HeldWaiter waiter(control);
    EXPECT_FALSE(waiter.returnsWithin(50ms));
    // Nobody continues it: the terminate alone lets the driver out.
    control.Terminate();
    EXPECT_TRUE(waiter.returnsWithin(10s));
    EXPECT_FALSE(control.Held());
    EXPECT_TRUE(control.Terminated());
    EXPECT_EQ(wake->Count(), 2u);

    // A phase that fails while stopping holds the driver as any failed phase does: it goes on.
    control.Hold();
    EXPECT_FALSE(control.Held());
    HeldWaiter after(control);
    EXPECT_TRUE(after.returnsWithin(10s));
}

}  // namespace
