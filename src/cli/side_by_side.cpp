#include "side_by_side.h"

#include <windows.h>

namespace {

DWORD WINAPI run_job(void *parameter)
{
    auto &job = *static_cast<window_job *>(parameter);
    job.failure = {};
    kestal_capture_failures(&job.failure);
    job.result = job.action(reinterpret_cast<void *>(static_cast<intptr_t>(job.hwnd)), job.context, job.note);
    kestal_capture_failures(nullptr);
    return 0;
}

} // namespace

void run_side_by_side(std::vector<window_job> &jobs)
{
    if (jobs.size() == 1) {
        run_job(&jobs[0]);
        return;
    }
    for (size_t first = 0; first < jobs.size(); first += MAXIMUM_WAIT_OBJECTS) {
        HANDLE threads[MAXIMUM_WAIT_OBJECTS];
        DWORD started = 0;
        for (size_t i = first; i < jobs.size() && i < first + MAXIMUM_WAIT_OBJECTS; ++i) {
            if (HANDLE thread = CreateThread(nullptr, 0, run_job, &jobs[i], 0, nullptr))
                threads[started++] = thread;
            else
                run_job(&jobs[i]);
        }
        if (started)
            WaitForMultipleObjects(started, threads, TRUE, INFINITE);
        for (DWORD i = 0; i < started; ++i)
            CloseHandle(threads[i]);
    }
}
