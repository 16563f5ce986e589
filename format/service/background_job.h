// One job at a time on a thread of its own: the cipher's pass over a batch of content runs there
// while the caller reads the next batch and writes out the one before.
#pragma once
#include <windows.h>

#include <functional>

class BackgroundJob {
public:
    BackgroundJob() = default;
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;
    // Waits for the job in flight and ends the thread.
    ~BackgroundJob();

    // Waits for the job before, then hands this one over; the thread starts on the first call.
    // Where no thread can be started the job runs here and now. False, with its last error, when
    // the job before failed.
    bool Start(std::function<bool()> job);
    // Waits for the job in flight. False, with that job's last error, when it failed; a failure
    // is reported once.
    bool Wait();

private:
    static DWORD WINAPI ThreadProc(void* self);
    void Run();

    HANDLE thread_ = nullptr;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::function<bool()> job_;  // set while a job waits or runs
    bool stopping_ = false;
    DWORD error_ = ERROR_SUCCESS;  // of the last job that failed, until Wait reports it
};
