// The thread-handle table and its bounded wait.
#include "core/ThreadTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono;

class ThreadTable : public ::testing::Test {
  protected:
    void TearDown() override {
        waitThreads();
        setThreadWaitLimitForTesting(0);
    }
};

TEST_F(ThreadTable, WaitsForFinishedThreadsAndEmptiesTheTable) {
    std::atomic<int> ran{0};
    for (int i = 0; i < 5; ++i) addThreadHandle(startThread([&ran] { ran++; }));
    EXPECT_EQ(threadHandleCount(), 5);
    waitThreads();
    EXPECT_EQ(ran.load(), 5);
    EXPECT_EQ(threadHandleCount(), 0);
    waitThreads();  // an empty table returns at once
    EXPECT_EQ(threadHandleCount(), 0);
}

TEST_F(ThreadTable, GivesUpAtTheCommonDeadlineAndLeavesTheJobItsData) {
    setThreadWaitLimitForTesting(300);
    // The job owns its data through a shared pointer, so the thread that
    // outlives the wait never touches freed memory.
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    for (int i = 0; i < 3; ++i) {
        addThreadHandle(startThread([release, finished] {
            while (!release->load()) std::this_thread::sleep_for(milliseconds(5));
            finished->store(true);
        }));
    }
    auto start = steady_clock::now();
    waitThreads();
    auto waited = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_EQ(threadHandleCount(), 0);
    EXPECT_LT(waited, 3 * 300) << "one deadline for all threads, not one per thread";
    EXPECT_FALSE(finished->load());
    release->store(true);
    for (int i = 0; i < 200 && !finished->load(); ++i) std::this_thread::sleep_for(milliseconds(5));
    EXPECT_TRUE(finished->load()) << "the left-over thread finishes on its own";
}

TEST_F(ThreadTable, RecordsAtMostAThousandHandles) {
    std::atomic<int> ran{0};
    for (int i = 0; i < kThreadSlots + 5; ++i) addThreadHandle(startThread([&ran] { ran++; }));
    EXPECT_EQ(threadHandleCount(), kThreadSlots);
    waitThreads();
    EXPECT_EQ(threadHandleCount(), 0);
    for (int i = 0; i < 400 && ran.load() < kThreadSlots + 5; ++i)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(ran.load(), kThreadSlots + 5);
}

TEST_F(ThreadTable, AnEmptyHandleIsNotRecorded) {
    addThreadHandle(nullptr);
    EXPECT_EQ(threadHandleCount(), 0);
}

TEST_F(ThreadTable, BeforeTheEndWaitsForSendersUpToTheirOwnLimits) {
    // A sender that overruns its limit is given up on after the limit and the margin.
    auto release = std::make_shared<std::atomic<bool>>(false);
    addThreadHandle(startThread(
        [release] {
            while (!release->load()) std::this_thread::sleep_for(milliseconds(5));
        },
        100));
    auto start = steady_clock::now();
    waitForRunningThreads();
    auto waited = duration_cast<milliseconds>(steady_clock::now() - start).count();
    release->store(true);
    waitThreads();
    EXPECT_GE(waited, kThreadExitMarginMs);
    EXPECT_LT(waited, 100 + kThreadExitMarginMs + 1000);

    // One the table's wait gave up on is still waited for within its own limit.
    setThreadWaitLimitForTesting(50);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    addThreadHandle(startThread(
        [finished] {
            std::this_thread::sleep_for(milliseconds(400));
            finished->store(true);
        },
        5000));
    waitThreads();
    EXPECT_FALSE(finished->load());
    waitForRunningThreads();
    EXPECT_TRUE(finished->load());
}
