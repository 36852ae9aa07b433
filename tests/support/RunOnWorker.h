// The download page's arrangement for code that transfers outside the wizard: the work runs on
// a new thread while the calling thread, which owns the progress bar, pumps its messages, so the
// worker's SendMessageW to that bar is answered.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

inline void RunOnWorker(const std::function<void()>& fn) {
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        fn();
        ::SetEvent(done);
    });
    while (::MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    }
    worker.join();
    ::CloseHandle(done);
}
