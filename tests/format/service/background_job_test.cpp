#include "format/service/background_job.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Jobs run one after another in the order given; Wait returns only once the last is through.
TEST(BackgroundJob, RunsJobsInOrderAndWaitsForTheLast) {
    std::vector<int> done;
    BackgroundJob job;
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(job.Start([&done, i] {
            Sleep(i % 3);  // give the caller's thread a chance to run ahead
            done.push_back(i);
            return true;
        }));
    ASSERT_TRUE(job.Wait());
    ASSERT_EQ(done.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(done[i], i);
}

// A failed job's error reaches the caller once, at the next Wait or Start; the job after it runs.
TEST(BackgroundJob, AFailureIsReportedOnceWithItsError) {
    BackgroundJob job;
    ASSERT_TRUE(job.Start([] { return SetLastError(ERROR_DISK_FULL), false; }));
    SetLastError(0);
    EXPECT_FALSE(job.Wait());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_TRUE(job.Wait());

    ASSERT_TRUE(job.Start([] { return SetLastError(ERROR_INVALID_DATA), false; }));
    bool ran = false;
    EXPECT_FALSE(job.Start([&ran] { return ran = true; }));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(ran) << "a job is not started behind a failed one";
    // A failure that names no error still counts as one.
    ASSERT_TRUE(job.Start([] { return SetLastError(ERROR_SUCCESS), false; }));
    EXPECT_FALSE(job.Wait());
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

// A caller that gives up without waiting still gets its job finished before the job's data goes.
TEST(BackgroundJob, EndingWaitsForTheJobInFlight) {
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(started, nullptr);
    volatile bool finished = false;
    {
        BackgroundJob job;
        ASSERT_TRUE(job.Start([&] {
            SetEvent(started);
            Sleep(50);
            finished = true;
            return true;
        }));
        ASSERT_EQ(WaitForSingleObject(started, INFINITE), WAIT_OBJECT_0);
    }
    EXPECT_TRUE(finished);
    CloseHandle(started);
}

}  // namespace
