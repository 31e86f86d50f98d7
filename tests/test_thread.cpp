#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "net/VDEvent.h"
#include "net/VDThread.h"

namespace {
struct Gate {
    VDEvent release{true};
    std::atomic<int> runs{0};
};
uint32_t waitForGate(void* arg) {
    auto* g = static_cast<Gate*>(arg);
    g->release.Wait(-1);
    ++g->runs;
    return 0;
}
}  // namespace

TEST(VDThread, WaitOnIdleReturnsAtOnce) {
    VDThread t;
    EXPECT_TRUE(t.Wait(0));
    EXPECT_TRUE(t.Wait(VDThread::INFINITE));
}

TEST(VDThread, WaitTimesOutWhileRunningThenSucceeds) {
    Gate g;
    VDThread t;
    t.Start(&waitForGate, &g);
    EXPECT_FALSE(t.Wait(0));
    g.release.Set();
    EXPECT_TRUE(t.Wait(VDThread::INFINITE));
    EXPECT_TRUE(t.Wait(0));
    EXPECT_EQ(g.runs, 1);
    t.Start(&waitForGate, &g);  // a second run on the same object
    EXPECT_TRUE(t.Wait(VDThread::INFINITE));
    EXPECT_EQ(g.runs, 2);
}

TEST(VDThread, DestroyingLeavesTheThreadRunning) {
    auto g = std::make_shared<Gate>();
    {
        VDThread t;
        t.Start(&waitForGate, g.get());
    }
    EXPECT_EQ(g->runs, 0);
    g->release.Set();
    for (int i = 0; i < 1000 && g->runs == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(g->runs, 1);
}

TEST(VDEvent, AutoResetIsConsumedManualIsNot) {
    VDEvent aut(false), man(true);
    aut.Set();
    man.Set();
    EXPECT_TRUE(aut.Wait(0));
    EXPECT_FALSE(aut.Wait(0));
    EXPECT_TRUE(man.Wait(0));
    EXPECT_TRUE(man.Wait(0));
    man.Reset();
    EXPECT_FALSE(man.Wait(0));
}

TEST(VDEvent, WaitWithReportsDescriptorAndTimeout) {
    VDEvent stop(true), other(false);
    EXPECT_EQ(stop.WaitWith(other.Fd(), POLLIN, 5), VDEvent::Timeout);
    other.Set();
    EXPECT_EQ(stop.WaitWith(other.Fd(), POLLIN, 1000), VDEvent::Ready);
    stop.Set();
    EXPECT_EQ(stop.WaitWith(other.Fd(), POLLIN, 1000), VDEvent::Signalled);  // the stop event wins a tie
}
