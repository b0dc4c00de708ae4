// The extraction worker: one thread, four events, cooperative cancelling at
// chunk boundaries, and a synchronous fallback on the interface thread.
#include <cstring>

#include "Extractor.h"

namespace sfx {
namespace {

ExtractTask g_task;
bool g_registered = false;

void closeHandle(HANDLE& h) {
    if (h != nullptr) ::CloseHandle(h);
    h = nullptr;
}

void releaseTask() {
    closeHandle(g_task.thread);
    closeHandle(g_task.startEvent);
    closeHandle(g_task.idleEvent);
    closeHandle(g_task.cancelEvent);
    closeHandle(g_task.finishedEvent);
    g_registered = false;
}

void complete(ExtractTask* task, int value) {
    if (task->notifyWindow != nullptr)
        ::PostMessageW(task->notifyWindow, task->completionMessage, task->completionWParam,
                       task->completionValues[value]);
}

DWORD WINAPI workerThread(void* argument) {
    auto* task = static_cast<ExtractTask*>(argument);
    int value;
    if (::WaitForSingleObject(task->startEvent, INFINITE) != WAIT_OBJECT_0) {
        value = 3;
    } else if (::WaitForSingleObject(task->cancelEvent, 0) == WAIT_OBJECT_0) {
        value = 2;
    } else {
        ::ResetEvent(task->idleEvent);
        value = task->work(task, task->argument) ? 0 : 1;
    }
    ::SetEvent(task->idleEvent);
    ::SetEvent(task->finishedEvent);
    complete(task, value);
    return 0;
}

// While the interface thread waits for the worker it still answers the
// messages the worker sends it (notice 80), or both would wait for ever.
bool waitTakingSentMessages(HANDLE event, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
        const DWORD r = ::MsgWaitForMultipleObjects(1, &event, FALSE, left, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

bool extractionWork(ExtractTask* task, void* argument) {
    auto* state = static_cast<ExtractorState*>(argument);
    const ResultCode result = extractAll(*state, task);
    if (task->notifyWindow != nullptr)
        ::PostMessageW(task->notifyWindow, task->progressMessage, kNoticeResult, result);
    return result == rc::Ok;
}

ExtractTask* currentTask() {
    return g_registered ? &g_task : nullptr;
}

bool startTask(const ExtractTask& task) {
    if (g_registered) {
        bool gone = false;
        for (int attempt = 0; attempt < 5 && !gone; ++attempt) gone = cancelTask();
        if (!gone) return false;
    }
    g_task = task;
    g_task.runSynchronously = false;
    g_task.thread = nullptr;
    g_task.startEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_task.idleEvent = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    g_task.cancelEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_task.finishedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_registered = true;
    bool threadRuns = false;
    if (g_task.startEvent && g_task.idleEvent && g_task.cancelEvent && g_task.finishedEvent) {
        g_task.thread =
            ::CreateThread(nullptr, 0, workerThread, &g_task, CREATE_SUSPENDED, nullptr);
        if (g_task.thread != nullptr) {
            ::SetEvent(g_task.idleEvent);
            ::ResetEvent(g_task.cancelEvent);
            ::InterlockedExchange(&g_task.cancelRequested, 0);
            ::ResetEvent(g_task.finishedEvent);
            ::SetEvent(g_task.startEvent);
            const DWORD previous = ::ResumeThread(g_task.thread);
            threadRuns = previous == 0 || previous == 1;
            if (!threadRuns) ::TerminateThread(g_task.thread, 1);
        }
    }
    if (threadRuns) return true;

    // No thread: run on this thread, pumping messages between chunks.
    releaseTask();
    g_task = task;
    g_task.thread = nullptr;
    g_task.startEvent = g_task.idleEvent = g_task.cancelEvent = g_task.finishedEvent = nullptr;
    g_task.runSynchronously = true;
    g_registered = true;
    const bool ok = g_task.work(&g_task, g_task.argument);
    complete(&g_task, ok ? 0 : 1);
    g_registered = false;
    return true;
}

bool isCancelled(ExtractTask* task) {
    if (task == nullptr) return true;
    if (task->runSynchronously) {
        bool quit = false;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (task->pumpDialog && ::IsDialogMessageW(task->pumpDialog, &msg)) continue;
            if (task->owner && ::IsDialogMessageW(task->owner, &msg)) continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        return quit;
    }
    return task->cancelEvent == nullptr ||
           ::InterlockedCompareExchange(&task->cancelRequested, 0, 0) != 0;
}

void requestCancel() {
    if (!g_registered || g_task.cancelEvent == nullptr) return;
    ::InterlockedExchange(&g_task.cancelRequested, 1);
    ::SetEvent(g_task.cancelEvent);
}

bool cancelTask() {
    if (!g_registered) return true;
    if (g_task.thread != nullptr) {
        DWORD exitCode = 0;
        if (::GetExitCodeThread(g_task.thread, &exitCode) && exitCode == STILL_ACTIVE) {
            ::SetThreadPriority(g_task.thread, THREAD_PRIORITY_ABOVE_NORMAL);
            requestCancel();
            ::SetEvent(g_task.startEvent);
            if (!waitTakingSentMessages(g_task.finishedEvent, 5000)) return false;
        }
        // The thread has set its events; let it return before its handle goes.
        ::WaitForSingleObject(g_task.thread, 1000);
    }
    releaseTask();
    return true;
}

}  // namespace sfx
