#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "app/TaskStateTable.h"
#include "util/Thread.h"

using namespace mirq;

TEST(TaskStateTable, Transitions) {
    CTaskStateTable table;
    EXPECT_EQ(table.GetCurrentState(), kTaskIdle);
    table.StartTask(7);
    const std::shared_ptr<CStopToken> stop = table.StopToken(7);
    EXPECT_EQ(table.GetCurrentState(), kTaskRunning);
    EXPECT_FALSE(stop->Requested());
    table.RequestStop(7);
    table.RequestStop(7);
    EXPECT_EQ(table.GetCurrentState(), kTaskStopRequested);
    EXPECT_EQ(WaitForSingleObject(stop->Event(), 0), WAIT_OBJECT_0);  // the task's waits wake
    table.FinishTask(7);
    EXPECT_EQ(table.GetCurrentState(), kTaskIdle);
    table.RequestStop(7);
    EXPECT_EQ(table.GetState(7), kTaskIdle) << "a finished task stays idle";
    table.StartTask(7);  // a handle value used again: a new task, not stopped
    EXPECT_FALSE(table.StopToken(7)->Requested());
    table.StartTask(8);
    EXPECT_EQ(table.GetCurrentState(), kTaskRunning);
}

TEST(TaskStateTable, SecondTaskBecomesCurrentAndFinishingAnotherKeyLeavesIt) {
    CTaskStateTable table;
    table.StartTask(1);
    table.RequestStop(1);
    table.StartTask(2);
    EXPECT_EQ(table.GetCurrentState(), kTaskRunning);
    table.FinishTask(1);
    EXPECT_EQ(table.GetCurrentState(), kTaskRunning);
    table.RequestStop(2);
    EXPECT_EQ(table.GetCurrentState(), kTaskStopRequested);
    table.FinishTask(2);
    EXPECT_EQ(table.GetCurrentState(), kTaskIdle);
}

TEST(TaskStateTable, ConcurrentPollsSeeOnlyValidStates) {
    std::atomic<bool> done{false};
    std::atomic<long> polls{0}, invalid{0};
    std::vector<std::unique_ptr<mirq::CThread>> pollers;
    for (int i = 0; i < 3; ++i) {
        pollers.emplace_back(new mirq::CThread([&] {
            while (!done) {
                int s = CTaskStateTable::GetInstance()->GetCurrentState();
                if (s != kTaskIdle && s != kTaskRunning && s != kTaskStopRequested) ++invalid;
                ++polls;
            }
        }));
    }
    CTaskStateTable* table = CTaskStateTable::GetInstance();
    for (unsigned long key = 1; key <= 20000; ++key) {
        table->StartTask(key);
        if (key % 2) table->RequestStop(key);
        table->FinishTask(key);
    }
    done = true;
    for (auto& poller : pollers) poller->Join();
    EXPECT_EQ(invalid, 0);
    EXPECT_GT(polls, 0);
    EXPECT_EQ(table->GetCurrentState(), kTaskIdle);
}
