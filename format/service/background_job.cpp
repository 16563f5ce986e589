#include "format/service/background_job.h"

#include <utility>

BackgroundJob::~BackgroundJob() {
    if (!thread_) return;
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    // The thread finishes the job in flight first: a caller that gives up early must not free
    // the buffer that job still works on.
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
}

bool BackgroundJob::Start(std::function<bool()> job) {
    if (!Wait()) return false;
    if (!thread_) thread_ = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    if (!thread_) {
        // Slower, but the same bytes: a machine short of threads still packs and unpacks.
        SetLastError(ERROR_SUCCESS);
        if (job()) return true;
        error_ = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
        return true;
    }
    AcquireSRWLockExclusive(&lock_);
    job_ = std::move(job);
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    return true;
}

bool BackgroundJob::Wait() {
    AcquireSRWLockExclusive(&lock_);
    while (job_) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    const DWORD error = error_;
    error_ = ERROR_SUCCESS;
    ReleaseSRWLockExclusive(&lock_);
    if (error == ERROR_SUCCESS) return true;
    SetLastError(error);
    return false;
}

DWORD WINAPI BackgroundJob::ThreadProc(void* self) {
    static_cast<BackgroundJob*>(self)->Run();
    return 0;
}

void BackgroundJob::Run() {
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        while (!job_ && !stopping_) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        if (!job_) break;
        std::function<bool()> job = job_;
        ReleaseSRWLockExclusive(&lock_);
        // Nothing may leave a thread's procedure: a job that throws counts as one out of memory.
        bool ok = false;
        DWORD error = ERROR_SUCCESS;
        try {
            SetLastError(ERROR_SUCCESS);
            ok = job();
            error = GetLastError();
        } catch (...) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        AcquireSRWLockExclusive(&lock_);
        if (!ok) error_ = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        job_ = nullptr;
        WakeAllConditionVariable(&changed_);
    }
    ReleaseSRWLockExclusive(&lock_);
}
